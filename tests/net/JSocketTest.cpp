#include <fieldkit/core/Clock.h>
#include <fieldkit/net/JSocket.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <memory>
#include <string>
#include <thread>

namespace {

using fktest::OpenDescriptorCount;
using fktest::PathExists;
using fktest::TempDir;

std::string Bytes(const Message& m)
{
    return std::string(m.data, m.length);
}

bool IsOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// Puts another file of the process (/dev/null) under the free descriptor number `number`.
void GiveNumberAway(int number)
{
    const int other = open("/dev/null", O_RDONLY);
    if (other != number && dup2(other, number) == number)
        close(other);
}

// A listening server, a connected client and the server's end of that
// connection, on a local path or on 127.0.0.1.
struct Connection {
    TempDir dir;
    JSocket server, client;
    int accepted = -1;
    unsigned long peer = 12345;

    explicit Connection(bool local)
    {
        if (local) {
            const std::string path = dir.path("server.sock");
            server.InitializeSocket(path.c_str(), TCP_SERVER, 5);
            client.InitializeSocket(path.c_str(), TCP_CLIENT, 0);
        } else {
            server.type = TCP_SERVER;
            server.port = client.port = fktest::FreeLoopbackPort(SOCK_STREAM);
            server.ip_addr = 0x0AFFFF01u;  // ignored: a server binds to every interface
            server.tcp_start_server(5);
            client.type = TCP_CLIENT;
            client.ip_addr = fktest::kLoopback;
            client.tcp_start_client();
        }
        server.tcp_check_for_connection(&peer, &accepted, 5000);
    }
    ~Connection() { server.tcp_drop_client(accepted); }
};

class StreamTest : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Families, StreamTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Local" : "IPv4"; });

TEST_P(StreamTest, ExchangesBothWaysInPiecesOf2048AndSeesThePeerClose)
{
    Connection c(GetParam());
    ASSERT_TRUE(c.server.connected && c.client.connected && c.accepted >= 0);
    EXPECT_EQ(c.peer, GetParam() ? 0ul : static_cast<unsigned long>(fktest::kLoopback));

    // The client waits for the answer on one thread while it sends on another.
    Message m;
    bool answered = false;
    std::thread waiter([&] { answered = c.client.ReceiveMessage(&m, 5000, -1); });
    TCPMessage request;  // socket -1: the client's own descriptor
    std::string text = "ping";
    request.SetMessage(&text[0], 4);
    EXPECT_EQ(c.client.SendMessage(&request), 1);
    TCPMessage received;
    received.socket = c.accepted;
    EXPECT_TRUE(c.server.ReceiveMessage(&received, 5000));
    EXPECT_EQ(Bytes(received), "ping");
    text = "pong!";
    EXPECT_EQ(c.server.SendMessage(&text[0], 5, c.accepted), 1);
    waiter.join();
    ASSERT_TRUE(answered);
    EXPECT_EQ(Bytes(m), "pong!");
    Message empty;
    empty.SetMessage(nullptr, 0);
    EXPECT_EQ(c.client.SendMessage(&empty, -1), 1);  // nothing sent, connection still usable

    std::string sent = fktest::Pattern(3000);
    ASSERT_EQ(c.client.SendMessage(&sent[0], sent.size(), -1), 1);
    int queued = 0;  // wait until all of it is queued, so that one receive could take it all
    for (int i = 0; i < 1000 && queued < 3000; ++i) {
        Sleep(5);
        ioctl(c.accepted, FIONREAD, &queued);
    }
    ASSERT_TRUE(c.server.ReceiveMessage(&m, 5000, c.accepted));
    EXPECT_EQ(m.length, 2048u);
    std::string got = Bytes(m);
    while (got.size() < sent.size() && c.server.ReceiveMessage(&m, 5000, c.accepted))
        got += Bytes(m);
    EXPECT_EQ(got, sent);

    // Failed receives leave the message as it was: a poll finds nothing at once,
    // and after the peer's close every receive fails.
    const std::string last = Bytes(m);
    const unsigned int start = GetTickCount();
    EXPECT_FALSE(c.server.ReceiveMessage(&m, 0, c.accepted));
    EXPECT_LT(GetTickCount() - start, 1000u);
    c.client.ResetSocket();
    EXPECT_FALSE(c.server.ReceiveMessage(&m, 5000, c.accepted));
    EXPECT_EQ(Bytes(m), last);
    char buf[16];
    EXPECT_EQ(c.server.ReceiveMessage(buf, sizeof buf, 5000, c.accepted), -1);
}

TEST_P(StreamTest, ResetPeerIsAFailedSendWithoutSigpipe)
{
    static std::atomic<int> sigpipes{0};
    struct sigaction counting {}, old {};
    counting.sa_handler = [](int) { ++sigpipes; };
    sigaction(SIGPIPE, &counting, &old);
    Connection c(GetParam());
    ASSERT_GE(c.accepted, 0);
    const linger abort_close{1, 0};
    ASSERT_EQ(setsockopt(c.client.fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close), 0);
    c.client.ResetSocket();

    // The reset reaches the server's end asynchronously: the first sends may still pass.
    char byte = 'x';
    int result = 1;
    for (int i = 0; i < 500 && result == 1; ++i, Sleep(10))
        result = c.server.SendMessage(&byte, 1, c.accepted);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(c.server.SendMessage(&byte, 1, c.accepted), 0);
    EXPECT_EQ(sigpipes.load(), 0);
    sigaction(SIGPIPE, &old, nullptr);
}

TEST(JSocket, ListeningSocketAcceptsAndIsClosedOnlyOnce)
{
    TempDir dir;
    const std::string path = dir.path("listen");
    auto server = std::make_unique<JSocket>(path.c_str(), TCP_SERVER, static_cast<UDP_dir>(5));
    ASSERT_TRUE(server->connected);
    unsigned long peer = 7;
    int client_fd = 99;
    EXPECT_EQ(server->tcp_check_for_connection(&peer, &client_fd, 0), 0);
    EXPECT_EQ(client_fd, 99);  // a time-out writes nothing
    EXPECT_EQ(peer, 7ul);
    EXPECT_EQ(server->tcp_WaitForActivity(0), 0);

    JSocket client(path.c_str(), TCP_CLIENT, UDP_SEND);
    EXPECT_EQ(server->tcp_WaitForActivity(5000), 1);
    EXPECT_EQ(client.tcp_WaitForActivity(5000), 0);  // not a server: no wait
    ASSERT_EQ(server->tcp_check_for_connection(nullptr, &client_fd, 0), 1);
    server->tcp_drop_client(client_fd);
    EXPECT_EQ(client_fd, -1);

    // Once closed, the number may go to another file: no later use of the object may touch it.
    const int number = server->fd;
    server->tcp_close_listening_socket();
    EXPECT_FALSE(IsOpen(number));
    GiveNumberAway(number);
    server->tcp_close_listening_socket();
    EXPECT_EQ(server->check_read(0, -1, 0), -1);
    EXPECT_EQ(server->set_socket_ReUseAddr(), 0);
    server.reset();
    EXPECT_TRUE(IsOpen(number));
    EXPECT_FALSE(PathExists(path));
    close(number);
}

TEST(JSocket, FailedStartsLeaveNoDescriptorOpen)
{
    TempDir dir;
    const int before = OpenDescriptorCount();
    JSocket server;
    EXPECT_EQ(server.InitializeSocket(dir.path("missing/sock").c_str(), TCP_SERVER, 5), 0);
    EXPECT_EQ(OpenDescriptorCount(), before);
    ASSERT_NE(server.fd, -1);  // closed, but keeps its number
    const int number = server.fd;
    GiveNumberAway(number);
    server.ResetSocket();
    EXPECT_TRUE(IsOpen(number));
    close(number);

    const unsigned int start = GetTickCount();
    JSocket client;
    EXPECT_EQ(client.InitializeSocket(dir.path("absent").c_str(), TCP_CLIENT, 0), 0);
    EXPECT_GE(GetTickCount() - start, 4500u);  // ten attempts, 500 ms apart
    EXPECT_EQ(client.fd, -1);
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(client.set_socket_ReUseAddr(), 0);  // options need an own descriptor
    EXPECT_EQ(client.set_socket_nonblock(), -1);
}

TEST(JSocket, InitializeRefusesBadNamesAndReplacesAnOpenSocket)
{
    TempDir dir;
    const std::string longest = dir.path(std::string(107 - dir.path().size() - 1, 'n'));
    const std::string too_long = longest + "n";
    const std::string second = dir.path("second");
    const int before = OpenDescriptorCount();
    JSocket server(longest.c_str(), TCP_SERVER, static_cast<UDP_dir>(5));
    ASSERT_TRUE(server.connected);
    EXPECT_TRUE(JSocket(longest.c_str(), TCP_CLIENT, UDP_SEND).connected);

    for (const char* bad : {too_long.c_str(), "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(server.InitializeSocket(bad, TCP_SERVER, 5), 0);
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    EXPECT_FALSE(PathExists(too_long));
    EXPECT_TRUE(PathExists(longest));  // the open server was left alone

    ASSERT_EQ(server.InitializeSocket(second.c_str(), TCP_SERVER, 5), 1);
    EXPECT_FALSE(PathExists(longest));
    ASSERT_EQ(server.InitializeSocket(server.name, TCP_SERVER, 5), 1);  // its own name
    EXPECT_STREQ(server.name, second.c_str());
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    EXPECT_EQ(server.set_socket_ReUseAddr(), 1);
    EXPECT_EQ(server.tcp_set_socket_nolinger(), 1);
    EXPECT_EQ(server.set_socket_nonblock(), 0);
    EXPECT_NE(fcntl(server.fd, F_GETFL) & O_NONBLOCK, 0);
    server.ResetSocket();
    EXPECT_FALSE(PathExists(second));

    JSocket odd;  // an unknown kind opens nothing
    EXPECT_EQ(odd.InitializeSocket(dir.path("odd").c_str(), static_cast<socket_type>(4), 0), 0);
    EXPECT_EQ(odd.fd, -1);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(JSocket, CheckReadServesHighDescriptorsAndSurvivesSignals)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 2048));
    setrlimit(RLIMIT_NOFILE, &limit);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const int reader = fcntl(pair[0], F_DUPFD, 1024);
    close(pair[0]);
    ASSERT_GE(reader, 1024) << "cannot raise the descriptor limit";

    JSocket s;
    EXPECT_EQ(s.check_read(30, reader, 1), 0);
    EXPECT_EQ(s.check_read(30, reader, 0), 0);
    {
        // Signals interrupt the wait over and over: with retry it still times out after
        // the whole time-out; without retry the first interruption is an error.
        fktest::SignalStorm signals;
        const unsigned int start = GetTickCount();
        EXPECT_EQ(s.check_read(250, reader, 1), 0);
        EXPECT_GE(GetTickCount() - start, 249u);
        errno = 0;
        EXPECT_EQ(s.check_read(5000, reader, 0), -1);
        EXPECT_EQ(errno, EINTR);
    }
    char out[] = "high";
    ASSERT_EQ(write(pair[1], out, 4), 4);
    EXPECT_EQ(s.check_read(5000, reader, 1), 1);
    EXPECT_EQ(s.check_read(-1, reader, 0), 1);
    char in[8] = {};
    EXPECT_EQ(s.ReceiveMessage(in, sizeof in, 5000, reader), 4);
    EXPECT_STREQ(in, "high");
    close(pair[1]);
    close(reader);
    for (int closed : {reader, -1}) {  // -1: the own descriptor, which s lacks
        errno = 0;
        EXPECT_EQ(s.check_read(1000, closed, 1), -1);
        EXPECT_EQ(errno, EBADF);
    }
}

}  // namespace
