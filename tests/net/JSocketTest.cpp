#include <fieldkit/core/Clock.h>
#include <fieldkit/net/JSocket.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
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

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

bool IsOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// Waits until `n` bytes are queued for reading on `fd`, so that a receive sees them all.
bool WaitForQueued(int fd, int n)
{
    for (int i = 0; i < 1000; ++i) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) == 0 && queued >= n)
            return true;
        Sleep(5);
    }
    return false;
}

// Counts SIGPIPE deliveries while in scope; the previous disposition comes back after.
class SigpipeCounter {
public:
    SigpipeCounter()
    {
        count = 0;
        struct sigaction sa {};
        sa.sa_handler = [](int) { ++count; };
        sigaction(SIGPIPE, &sa, &old_);
    }
    ~SigpipeCounter() { sigaction(SIGPIPE, &old_, nullptr); }
    static inline std::atomic<int> count{0};

private:
    struct sigaction old_ {};
};

// A listening server, a connected client and the server's end of that
// connection, on a local path or on 127.0.0.1.
struct Connection {
    TempDir dir;
    JSocket server;
    JSocket client;
    int accepted = -1;
    unsigned long peer = 12345;

    explicit Connection(bool local)
    {
        if (local) {
            const std::string path = dir.path("server.sock");
            server.InitializeSocket(path.c_str(), TCP_SERVER, 5);
            client.InitializeSocket(path.c_str(), TCP_CLIENT, 0);
        } else {
            const int port = fktest::FreeLoopbackPort(SOCK_STREAM);
            server.type = TCP_SERVER;
            server.port = port;
            server.ip_addr = 0x0AFFFF01u;  // ignored: a server binds to every interface
            server.tcp_start_server(5);
            client.type = TCP_CLIENT;
            client.ip_addr = fktest::kLoopback;
            client.port = port;
            client.tcp_start_client();
        }
        server.tcp_check_for_connection(&peer, &accepted, 5000);
    }
    ~Connection() { server.tcp_drop_client(accepted); }
};

class StreamTest : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Families, StreamTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Local" : "IPv4"; });

TEST_P(StreamTest, ConnectsAndExchangesInBothDirections)
{
    Connection c(GetParam());
    ASSERT_TRUE(c.server.connected);
    ASSERT_TRUE(c.client.connected);
    ASSERT_GE(c.accepted, 0);
    EXPECT_EQ(c.peer, GetParam() ? 0ul : static_cast<unsigned long>(fktest::kLoopback));

    TCPMessage request;  // socket -1: the client's own descriptor
    std::string text = "ping";
    request.SetMessage(&text[0], 4);
    EXPECT_EQ(c.client.SendMessage(&request), 1);

    TCPMessage received;
    received.socket = c.accepted;
    ASSERT_TRUE(c.server.ReceiveMessage(&received, 5000));
    EXPECT_EQ(Bytes(received), "ping");

    Message reply;
    text = "pong!";
    reply.SetMessage(&text[0], 5);
    EXPECT_EQ(c.server.SendMessage(&reply, c.accepted), 1);
    Message answer;
    ASSERT_TRUE(c.client.ReceiveMessage(&answer, 5000, -1));
    EXPECT_EQ(Bytes(answer), "pong!");

    Message empty;
    empty.SetMessage(nullptr, 0);
    EXPECT_EQ(c.client.SendMessage(&empty, -1), 1);  // nothing sent, connection still usable
}

TEST_P(StreamTest, LongSendArrivesIn2048BytePieces)
{
    Connection c(GetParam());
    ASSERT_GE(c.accepted, 0);
    std::string sent = Pattern(3000);
    ASSERT_EQ(c.client.SendMessage(&sent[0], sent.size(), -1), 1);
    ASSERT_TRUE(WaitForQueued(c.accepted, 3000));

    Message first;
    ASSERT_TRUE(c.server.ReceiveMessage(&first, 5000, c.accepted));
    EXPECT_EQ(first.length, 2048u);
    std::string got = Bytes(first);
    Message rest;
    while (got.size() < sent.size() && c.server.ReceiveMessage(&rest, 5000, c.accepted))
        got += Bytes(rest);
    EXPECT_EQ(got, sent);
}

TEST_P(StreamTest, NothingToReadFailsAtOnceAndKeepsTheMessage)
{
    Connection c(GetParam());
    ASSERT_GE(c.accepted, 0);
    TCPMessage m;
    m.socket = c.accepted;
    char old[] = "old";
    m.SetMessage(old, 3);
    const unsigned int start = GetTickCount();
    EXPECT_FALSE(c.server.ReceiveMessage(&m, 0));
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_EQ(Bytes(m), "old");
}

TEST_P(StreamTest, PeerCloseIsAFailedReceive)
{
    Connection c(GetParam());
    ASSERT_GE(c.accepted, 0);
    c.client.ResetSocket();

    Message m;
    char old[] = "kept";
    m.SetMessage(old, 4);
    EXPECT_FALSE(c.server.ReceiveMessage(&m, 5000, c.accepted));
    EXPECT_EQ(Bytes(m), "kept");
    char buf[16];
    EXPECT_EQ(c.server.ReceiveMessage(buf, sizeof buf, 5000, c.accepted), -1);
}

TEST_P(StreamTest, ResetPeerIsAFailedSendWithoutSigpipe)
{
    SigpipeCounter sigpipes;
    Connection c(GetParam());
    ASSERT_GE(c.accepted, 0);
    const linger abort_close{1, 0};
    ASSERT_EQ(setsockopt(c.client.fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close), 0);
    c.client.ResetSocket();

    // The reset reaches the server's end asynchronously: the first sends may still pass.
    char byte = 'x';
    int result = 1;
    for (int i = 0; i < 500 && result == 1; ++i) {
        result = c.server.SendMessage(&byte, 1, c.accepted);
        if (result == 1)
            Sleep(10);
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(c.server.SendMessage(&byte, 1, c.accepted), 0);
    EXPECT_EQ(SigpipeCounter::count.load(), 0);
}

TEST_P(StreamTest, SendsAndReceivesOnOneConnectionFromTwoThreads)
{
    Connection c(GetParam());
    ASSERT_GE(c.accepted, 0);
    constexpr int kMessages = 50;
    std::thread echo([&] {
        Message m;
        unsigned int echoed = 0;
        while (echoed < kMessages && c.server.ReceiveMessage(&m, 5000, c.accepted)) {
            c.server.SendMessage(&m, c.accepted);
            echoed += m.length;
        }
    });
    std::string total;
    std::thread reader([&] {
        Message m;
        while (total.size() < kMessages && c.client.ReceiveMessage(&m, 5000, -1))
            total += Bytes(m);
    });
    char byte = 'q';
    for (int i = 0; i < kMessages; ++i)
        c.client.SendMessage(&byte, 1, -1);
    reader.join();
    echo.join();
    EXPECT_EQ(total, std::string(kMessages, 'q'));
}

TEST(JSocket, LocalServerOwnsItsPathAndIgnoresNonServerWaits)
{
    TempDir dir;
    const std::string path = dir.path("x");
    auto server = std::make_unique<JSocket>(path.c_str(), TCP_SERVER, static_cast<UDP_dir>(5));
    ASSERT_TRUE(server->connected);
    EXPECT_EQ(server->direction, UDP_RECEIVE);
    EXPECT_TRUE(PathExists(path));

    unsigned long peer = 7;
    int client_fd = 99;
    EXPECT_EQ(server->tcp_check_for_connection(&peer, &client_fd, 0), 0);
    EXPECT_EQ(client_fd, 99);
    EXPECT_EQ(peer, 7ul);
    EXPECT_EQ(server->tcp_WaitForActivity(0), 0);

    JSocket client(path.c_str(), TCP_CLIENT, UDP_SEND);
    ASSERT_TRUE(client.connected);
    EXPECT_EQ(server->tcp_WaitForActivity(5000), 1);
    EXPECT_EQ(client.tcp_WaitForActivity(5000), 0);  // not a server: no wait
    ASSERT_EQ(server->tcp_check_for_connection(nullptr, &client_fd, 0), 1);
    server->tcp_drop_client(client_fd);
    EXPECT_EQ(client_fd, -1);
    server->tcp_drop_client(client_fd);  // -1: nothing to do
    EXPECT_EQ(client_fd, -1);

    server.reset();
    EXPECT_FALSE(PathExists(path));
}

TEST(JSocket, ClientWithoutServerGivesUpWithNothingOpen)
{
    TempDir dir;
    const int before = OpenDescriptorCount();
    const unsigned int start = GetTickCount();
    JSocket client;
    EXPECT_EQ(client.InitializeSocket(dir.path("absent").c_str(), TCP_CLIENT, 0), 0);
    EXPECT_GE(GetTickCount() - start, 4500u);  // ten attempts, 500 ms apart
    EXPECT_FALSE(client.connected);
    EXPECT_EQ(client.fd, -1);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(JSocket, ClosedListeningSocketIsNeverClosedAgain)
{
    TempDir dir;
    const std::string path = dir.path("listen");
    auto server = std::make_unique<JSocket>(path.c_str(), TCP_SERVER, static_cast<UDP_dir>(1));
    ASSERT_TRUE(server->connected);
    const int number = server->fd;
    server->tcp_close_listening_socket();
    server->tcp_close_listening_socket();
    EXPECT_FALSE(IsOpen(number));
    EXPECT_EQ(server->fd, number);  // the field keeps its number

    // Another file of the process takes the number; no later use of the object may touch it.
    const int other = open("/dev/null", O_RDONLY);
    ASSERT_EQ(dup2(other, number), number);
    if (other != number)
        close(other);
    EXPECT_EQ(server->check_read(0, -1, 0), -1);
    EXPECT_EQ(server->set_socket_ReUseAddr(), 0);
    server.reset();
    EXPECT_TRUE(IsOpen(number));
    EXPECT_FALSE(PathExists(path));
    close(number);
}

TEST(JSocket, FailedServerStartClosesItsDescriptorOnce)
{
    TempDir dir;
    const int before = OpenDescriptorCount();
    JSocket server;
    EXPECT_EQ(server.InitializeSocket(dir.path("missing/sock").c_str(), TCP_SERVER, 5), 0);
    EXPECT_FALSE(server.connected);
    EXPECT_EQ(OpenDescriptorCount(), before);
    ASSERT_NE(server.fd, -1);

    const int number = server.fd;
    const int other = open("/dev/null", O_RDONLY);
    ASSERT_EQ(dup2(other, number), number);
    if (other != number)
        close(other);
    server.ResetSocket();
    EXPECT_TRUE(IsOpen(number));
    EXPECT_EQ(server.fd, -1);
    close(number);
}

TEST(JSocket, RefusesBadNamesAndKindsWithoutSideEffects)
{
    TempDir dir;
    const std::string longest = dir.path(std::string(107 - dir.path().size() - 1, 'n'));
    ASSERT_EQ(longest.size(), 107u);
    const std::string too_long = longest + "n";

    JSocket server;
    ASSERT_EQ(server.InitializeSocket(longest.c_str(), TCP_SERVER, 5), 1);
    EXPECT_TRUE(PathExists(longest));
    JSocket client(longest.c_str(), TCP_CLIENT, UDP_SEND);
    EXPECT_TRUE(client.connected);

    const int before = OpenDescriptorCount();
    EXPECT_EQ(server.InitializeSocket(too_long.c_str(), TCP_SERVER, 5), 0);
    EXPECT_EQ(server.InitializeSocket(nullptr, TCP_SERVER, 5), 0);
    EXPECT_EQ(server.InitializeSocket("", TCP_SERVER, 5), 0);
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_FALSE(PathExists(too_long));
    EXPECT_TRUE(PathExists(longest));  // the open server was left alone
    EXPECT_TRUE(server.connected);

    JSocket odd;
    EXPECT_EQ(odd.InitializeSocket(dir.path("odd").c_str(), static_cast<socket_type>(4), 0), 0);
    EXPECT_TRUE(odd.local);
    EXPECT_EQ(odd.type, static_cast<socket_type>(4));
    EXPECT_EQ(odd.fd, -1);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(JSocket, ReinitialisingClosesTheOldSocketAndRemovesItsPath)
{
    TempDir dir;
    const std::string first = dir.path("first");
    const std::string second = dir.path("second");
    const int before = OpenDescriptorCount();
    JSocket server(first.c_str(), TCP_SERVER, static_cast<UDP_dir>(5));
    ASSERT_TRUE(server.connected);
    ASSERT_EQ(server.InitializeSocket(second.c_str(), TCP_SERVER, 5), 1);
    EXPECT_FALSE(PathExists(first));
    EXPECT_TRUE(PathExists(second));
    EXPECT_EQ(OpenDescriptorCount(), before + 1);

    ASSERT_EQ(server.InitializeSocket(server.name, TCP_SERVER, 5), 1);  // its own name
    EXPECT_STREQ(server.name, second.c_str());
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    server.ResetSocket();
    EXPECT_FALSE(PathExists(second));
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(JSocket, OptionsActOnTheOwnDescriptorOnly)
{
    JSocket empty;
    EXPECT_EQ(empty.set_socket_ReUseAddr(), 0);
    EXPECT_EQ(empty.tcp_set_socket_nolinger(), 0);
    EXPECT_EQ(empty.set_socket_nonblock(), -1);

    TempDir dir;
    JSocket server(dir.path("opts").c_str(), TCP_SERVER, static_cast<UDP_dir>(1));
    ASSERT_TRUE(server.connected);
    EXPECT_EQ(server.set_socket_ReUseAddr(), 1);
    EXPECT_EQ(server.tcp_set_socket_nolinger(), 1);
    EXPECT_EQ(server.set_socket_nonblock(), 0);
    EXPECT_NE(fcntl(server.fd, F_GETFL) & O_NONBLOCK, 0);
}

TEST(JSocket, LocalDatagramsTravelOnePerSendAndCutToTheBuffer)
{
    TempDir dir;
    const std::string path = dir.path("dgram");
    auto receiver = std::make_unique<JSocket>(path.c_str(), UDP_SOCKET, UDP_RECEIVE);
    ASSERT_NE(receiver->fd, -1);
    EXPECT_EQ(receiver->direction, UDP_RECEIVE);
    JSocket sender(path.c_str(), UDP_SOCKET, UDP_SEND);
    ASSERT_NE(sender.fd, -1);

    std::string big = Pattern(3000);
    ASSERT_EQ(sender.SendMessage(&big[0], big.size(), -1), 1);
    Message m;
    ASSERT_TRUE(receiver->ReceiveMessage(&m, 5000, -1));
    EXPECT_EQ(Bytes(m), big.substr(0, 2048));  // the rest of the datagram is lost

    Message empty;
    empty.SetMessage(nullptr, 0);
    EXPECT_EQ(sender.SendMessage(&empty, -1), 0);  // sent, but reported as nothing sent
    char buf[8];
    EXPECT_EQ(receiver->ReceiveMessage(buf, sizeof buf, 5000, -1), 0);
    EXPECT_FALSE(receiver->ReceiveMessage(&m, 0, -1));
    EXPECT_EQ(Bytes(m), big.substr(0, 2048));

    receiver.reset();
    EXPECT_FALSE(PathExists(path));
}

TEST(JSocket, Ipv4DatagramReceiverAnswersItsLastSender)
{
    JSocket receiver;
    receiver.type = UDP_SOCKET;
    receiver.ip_addr = fktest::kLoopback;
    receiver.port = fktest::FreeLoopbackPort(SOCK_DGRAM);
    ASSERT_EQ(receiver.create_udp_receive_socket(), 1);
    JSocket sender;
    sender.type = UDP_SOCKET;
    sender.ip_addr = fktest::kLoopback;
    sender.port = receiver.port;
    ASSERT_EQ(sender.create_udp_send_socket(), 1);

    char question[] = "who?";
    ASSERT_EQ(sender.SendMessage(question, 4, -1), 1);
    TCPMessage m;
    ASSERT_TRUE(receiver.ReceiveMessage(&m, 5000));
    EXPECT_EQ(Bytes(m), "who?");
    char answer[] = "me";
    ASSERT_EQ(receiver.SendMessage(answer, 2, -1), 1);
    ASSERT_TRUE(sender.ReceiveMessage(&m, 5000));
    EXPECT_EQ(Bytes(m), "me");
}

// Raises the descriptor limit for the scope so that numbers >= 1024 can be used.
class HighDescriptors {
public:
    HighDescriptors()
    {
        getrlimit(RLIMIT_NOFILE, &old_);
        rlimit raised = old_;
        if (raised.rlim_cur < 2048)
            raised.rlim_cur = raised.rlim_max < 2048 ? raised.rlim_max : 2048;
        setrlimit(RLIMIT_NOFILE, &raised);
    }
    ~HighDescriptors() { setrlimit(RLIMIT_NOFILE, &old_); }

    // A duplicate of `fd` numbered 1024 or more (the original is closed); -1 if impossible.
    static int Above1024(int fd)
    {
        const int high = fcntl(fd, F_DUPFD, 1024);
        close(fd);
        return high;
    }

private:
    rlimit old_{};
};

TEST(JSocket, WaitsServeDescriptorsAboveFdSetSize)
{
    HighDescriptors limits;
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const int reader = HighDescriptors::Above1024(pair[0]);
    ASSERT_GE(reader, 1024) << "cannot raise the descriptor limit";

    JSocket s;
    EXPECT_EQ(s.check_read(30, reader, 1), 0);
    EXPECT_EQ(s.check_read(30, reader, 0), 0);
    char out[] = "high";
    ASSERT_EQ(write(pair[1], out, 4), 4);
    EXPECT_EQ(s.check_read(5000, reader, 1), 1);
    EXPECT_EQ(s.check_read(-1, reader, 0), 1);
    char in[8] = {};
    EXPECT_EQ(s.ReceiveMessage(in, sizeof in, 5000, reader), 4);
    EXPECT_STREQ(in, "high");
    close(pair[1]);
    close(reader);
}

TEST(JSocket, WaitOnAClosedDescriptorFails)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    JSocket s;
    errno = 0;
    EXPECT_EQ(s.check_read(1000, pipe_fds[0], 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(s.check_read(1000, -1, 1), -1);  // no own descriptor
    EXPECT_EQ(errno, EBADF);
}

// Signals interrupt the wait over and over: with retry it still times out after
// about the whole time-out; without retry the first interruption is an error.
TEST(JSocket, RetriedWaitSurvivesSignals)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    JSocket s;
    int retried = 0, single = 0, single_errno = 0;
    unsigned int elapsed = 0;
    {
        fktest::SignalStorm signals;
        const unsigned int start = GetTickCount();
        retried = s.check_read(250, pipe_fds[0], 1);
        elapsed = GetTickCount() - start;
        errno = 0;
        single = s.check_read(5000, pipe_fds[0], 0);
        single_errno = errno;
    }
    close(pipe_fds[0]);
    close(pipe_fds[1]);

    EXPECT_EQ(retried, 0);
    EXPECT_GE(elapsed, 249u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_EQ(single, -1);
    EXPECT_EQ(single_errno, EINTR);
}

}  // namespace
