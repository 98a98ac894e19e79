// SPDX-License-Identifier: MIT
#include <fieldkit/core/Clock.h>
#include <fieldkit/net/JSocket.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace fktest;

std::string Bytes(const Message& m) { return std::string(m.data, m.length); }

// A listening server, a client connected to it and the server's end, on a local path or 127.0.0.1.
struct Connection {
    TempDir dir;
    JSocket server, client;
    int accepted = -1;

    explicit Connection(bool local)
    {
        unsigned long peer = 12345;
        if (local) {
            server.InitializeSocket(dir.path("server.sock").c_str(), TCP_SERVER, 5);
            client.InitializeSocket(server.name, TCP_CLIENT, 0);
        } else {
            server.type = TCP_SERVER;
            server.port = client.port = FreeLoopbackPort(SOCK_STREAM);
            server.ip_addr = 0x0AFFFF01u;  // ignored: a server binds to every interface
            server.tcp_start_server(5);
            client.type = TCP_CLIENT;
            client.ip_addr = kLoopback;
            client.tcp_start_client();
        }
        server.tcp_check_for_connection(&peer, &accepted, 5000);
        EXPECT_TRUE(client.connected && accepted >= 0 && peer == (local ? 0ul : kLoopback));
    }
    ~Connection() { server.tcp_drop_client(accepted); }
};

class StreamTest : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Families, StreamTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Local" : "IPv4"; });

TEST_P(StreamTest, ExchangesBothWaysInPiecesOf2048AndSeesThePeerClose)
{
    Connection c(GetParam());
    Message m;
    std::thread waiter([&] { c.client.ReceiveMessage(&m, 5000, -1); });  // awaits the answer meanwhile
    TCPMessage request, received;  // request.socket -1: the client's own descriptor
    request.SetMessage("ping", 4);
    EXPECT_EQ(c.client.SendMessage(&request), 1);
    received.socket = c.accepted;
    c.server.ReceiveMessage(&received, 5000);
    EXPECT_EQ(Bytes(received), "ping");
    char pong[] = "pong!";
    EXPECT_EQ(c.server.SendMessage(pong, 5, c.accepted), 1);
    waiter.join();
    EXPECT_EQ(Bytes(m), "pong!");
    Message empty;
    EXPECT_EQ(c.client.SendMessage(&empty, -1), 1);  // nothing sent, connection still usable

    std::string sent = Pattern(3000);
    ASSERT_EQ(c.client.SendMessage(&sent[0], sent.size(), -1), 1);
    int queued = 0;  // wait until all of it is queued, so that one receive could take it all
    for (int i = 0; i < 1000 && queued < 3000; ++i, Sleep(5))
        ioctl(c.accepted, FIONREAD, &queued);
    for (const std::string& piece : {sent.substr(0, 2048), sent.substr(2048)}) {
        EXPECT_TRUE(c.server.ReceiveMessage(&m, 5000, c.accepted));
        EXPECT_EQ(Bytes(m), piece);
    }

    // A poll finds nothing; after the peer's close receives fail and leave m as it was.
    EXPECT_FALSE(c.server.ReceiveMessage(&m, 0, c.accepted));
    c.client.ResetSocket();
    EXPECT_FALSE(c.server.ReceiveMessage(&m, 5000, c.accepted));
    EXPECT_EQ(Bytes(m), sent.substr(2048));
    EXPECT_EQ(c.server.ReceiveMessage(pong, sizeof pong, 5000, c.accepted), -1);
}

TEST_P(StreamTest, ResetPeerIsAFailedSendWithoutSigpipe)
{
    static volatile std::sig_atomic_t sigpipe = 0;
    const auto old = signal(SIGPIPE, [](int) { sigpipe = 1; });
    Connection c(GetParam());
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
    EXPECT_EQ(sigpipe, 0);
    signal(SIGPIPE, old);
}

// s closed its descriptor but kept the number; once another file has it, no use of s may touch it.
void ExpectClosedForGood(JSocket& s)
{
    const int number = s.fd;
    ASSERT_FALSE(number == -1 || fcntl(number, F_GETFD) != -1);
    ASSERT_EQ(dup2(STDERR_FILENO, number), number);
    EXPECT_EQ(s.check_read(0, -1, 0), -1);
    s.tcp_close_listening_socket();
    s.ResetSocket();
    EXPECT_NE(fcntl(number, F_GETFD), -1);
    close(number);
}

TEST(JSocket, ListeningSocketsAreClosedOnlyOnce)
{
    TempDir dir;
    const std::string path = dir.path("listen");
    const int before = OpenDescriptorCount();
    JSocket server(path.c_str(), TCP_SERVER, static_cast<UDP_dir>(5)), failed;
    unsigned long peer = 7;
    int client_fd = 99;
    EXPECT_EQ(server.tcp_check_for_connection(&peer, &client_fd, 0), 0);
    EXPECT_TRUE(client_fd == 99 && peer == 7) << "a time-out writes nothing";
    EXPECT_EQ(server.tcp_WaitForActivity(0), 0);
    EXPECT_TRUE(JSocket(path.c_str(), TCP_CLIENT, UDP_SEND).connected);  // its connection stays pending
    EXPECT_EQ(server.tcp_WaitForActivity(5000), 1);
    ASSERT_EQ(server.tcp_check_for_connection(nullptr, &client_fd, 0), 1);
    server.tcp_drop_client(client_fd);
    EXPECT_EQ(client_fd, -1);

    server.tcp_close_listening_socket();
    ExpectClosedForGood(server);
    EXPECT_FALSE(PathExists(path));
    EXPECT_EQ(failed.InitializeSocket(dir.path("missing/sock").c_str(), TCP_SERVER, 5), 0);
    ExpectClosedForGood(failed);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(JSocket, InitializeRefusesBadNamesReplacesAnOpenSocketAndCleansUpFailures)
{
    TempDir dir;
    const std::string longest = dir.path(std::string(107 - dir.path().size() - 1, 'n'));
    const std::string too_long = longest + "n", second = dir.path("second");
    const int before = OpenDescriptorCount();
    JSocket server(longest.c_str(), TCP_SERVER, static_cast<UDP_dir>(5));
    for (const char* bad : {too_long.c_str(), "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(server.InitializeSocket(bad, TCP_SERVER, 5), 0);
    EXPECT_TRUE(JSocket(longest.c_str(), TCP_CLIENT, UDP_SEND).connected) << "the open server was left alone";

    ASSERT_EQ(server.InitializeSocket(second.c_str(), TCP_SERVER, 5), 1);
    EXPECT_FALSE(PathExists(longest));
    ASSERT_EQ(server.InitializeSocket(server.name, TCP_SERVER, 5), 1);  // its own name
    EXPECT_STREQ(server.name, second.c_str());
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    EXPECT_EQ(server.set_socket_ReUseAddr() + server.tcp_set_socket_nolinger(), 2);
    EXPECT_TRUE(server.set_socket_nonblock() == 0 && (fcntl(server.fd, F_GETFL) & O_NONBLOCK));

    // Failures past the reset leave nothing open: an unknown kind, a client without server.
    EXPECT_EQ(server.InitializeSocket(dir.path("odd").c_str(), static_cast<socket_type>(4), 0), 0);
    EXPECT_FALSE(PathExists(second));
    const unsigned int start = GetTickCount();
    EXPECT_TRUE(server.InitializeSocket(dir.path("absent").c_str(), TCP_CLIENT, 0) == 0 && server.fd == -1);
    EXPECT_GE(GetTickCount() - start, 4900u);  // ten attempts, each failed one followed by 500 ms
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(JSocket, CheckReadServesHighDescriptorsAndSurvivesSignals)
{
    const rlimit limit{2048, 2048};  // room for descriptors past 1024
    setrlimit(RLIMIT_NOFILE, &limit);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const int reader = fcntl(pair[0], F_DUPFD, 1024);
    close(pair[0]);
    ASSERT_GE(reader, 1024) << "cannot raise the descriptor limit";

    JSocket s;
    EXPECT_EQ(s.check_read(30, reader, 0), 0);
    {
        SignalStorm signals;  // interrupts every wait: a retried one still lasts its whole time-out
        const unsigned int start = GetTickCount();
        EXPECT_EQ(s.check_read(250, reader, 1), 0);
        EXPECT_GE(GetTickCount() - start, 249u);
        errno = 0;  // without retry, the first interruption is an error
        EXPECT_TRUE(s.check_read(5000, reader, 0) == -1 && errno == EINTR);
    }
    ASSERT_EQ(write(pair[1], "high", 4), 4);
    EXPECT_EQ(s.check_read(-1, reader, 0), 1);
    char in[4];
    EXPECT_EQ(s.ReceiveMessage(in, 4, 5000, reader), 4);
    close(pair[1]);
    close(reader);
    for (int closed : {reader, -1}) {  // -1: the own descriptor, which s lacks
        errno = 0;
        EXPECT_TRUE(s.check_read(1000, closed, 1) == -1 && errno == EBADF) << closed;
    }
}

TEST(JSocketCredentials, ServerSeesTheForkedClientsPidUidAndGid)
{
    TempDir dir;
    JSocket server(dir.path("cred").c_str(), TCP_SERVER, static_cast<UDP_dir>(5));
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {  // connects, then waits for the server to close
        JSocket client(server.name, TCP_CLIENT, UDP_SEND);
        char byte;
        _exit(client.connected && recv(client.fd, &byte, 1, 0) == 0 ? 0 : 1);
    }
    int accepted = -1;
    ASSERT_EQ(server.tcp_check_for_connection(nullptr, &accepted, 5000), 1);
    pid_t pid = 0;
    uid_t uid = 12345;
    gid_t gid = 12345;
    EXPECT_EQ(server.GetPeerCredentials(accepted, &pid, &uid, &gid), 1);
    EXPECT_EQ(pid, child);
    EXPECT_EQ(uid, getuid());
    EXPECT_EQ(gid, getgid());
    server.tcp_drop_client(accepted);
    int status = -1;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "the child connects and sees the server close";
}

TEST(JSocketCredentials, OwnDescriptorAndNullPointersAreServed)
{
    Connection c(true);
    pid_t pid = 0;
    EXPECT_EQ(c.client.GetPeerCredentials(-1, &pid, nullptr, nullptr), 1);
    EXPECT_EQ(pid, getpid());
    gid_t gid = 12345;
    EXPECT_EQ(c.server.GetPeerCredentials(c.accepted, nullptr, nullptr, &gid), 1);
    EXPECT_EQ(gid, getgid());
    EXPECT_EQ(c.server.GetPeerCredentials(c.accepted, nullptr, nullptr, nullptr), 1);
}

TEST(JSocketCredentials, RefusedForAnythingButAConnectedLocalStream)
{
    Connection ipv4(false), local(true);
    TempDir dir;
    JSocket datagram(dir.path("dgram").c_str(), UDP_SOCKET, UDP_RECEIVE), empty;
    pid_t pid = 777;
    EXPECT_EQ(ipv4.server.GetPeerCredentials(ipv4.accepted, &pid, nullptr, nullptr), 0);
    EXPECT_EQ(datagram.GetPeerCredentials(-1, &pid, nullptr, nullptr), 0);
    EXPECT_EQ(local.server.GetPeerCredentials(-1, &pid, nullptr, nullptr), 0) << "a listening socket";
    EXPECT_EQ(empty.GetPeerCredentials(-1, &pid, nullptr, nullptr), 0);
    EXPECT_EQ(empty.GetPeerCredentials(123456, &pid, nullptr, nullptr), 0);
    local.client.tcp_close_listening_socket();  // closed, number kept
    EXPECT_EQ(local.client.GetPeerCredentials(-1, &pid, nullptr, nullptr), 0);
    EXPECT_EQ(pid, 777) << "a refusal writes nothing";
}

// Fills the peer's receive queue and ours with sends on `sender`, which the peer never reads.
// Result: the results of the sends, up to the first 0 or `most` of them.
std::string SendUntilRefused(JSocket& s, int sender, int most)
{
    std::string chunk = Pattern(65536), results;
    for (int i = 0; i < most && results.find('0') == std::string::npos; ++i)
        results += static_cast<char>('0' + s.SendMessage(&chunk[0], chunk.size(), sender));
    return results;
}

TEST(JSocketSendTimeout, CutShortSendEndsTheConnectionBothWays)
{
    Connection c(true);
    const timeval bound{0, 50000};
    ASSERT_EQ(setsockopt(c.accepted, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound), 0);
    const std::string results = SendUntilRefused(c.server, c.accepted, 200);
    ASSERT_EQ(results.back(), '0') << "sends after the time-out fail as on a lost connection";
    EXPECT_EQ(results.find('0'), results.size() - 1);
    EXPECT_GE(results.size(), 2u) << "the cut-short send itself still gives 1";
    Message m;
    int received = 0;
    while (c.client.ReceiveMessage(&m, 5000, -1))
        ++received;
    EXPECT_GT(received, 0);
    EXPECT_EQ(c.client.check_read(0, -1, 0), 1) << "the client sees the end, not a time-out";
}

TEST(JSocketSendTimeout, NonBlockingOrUnboundedDescriptorKeepsItsConnection)
{
    Connection c(true);
    ASSERT_EQ(fcntl(c.accepted, F_SETFL, fcntl(c.accepted, F_GETFL) | O_NONBLOCK), 0);
    EXPECT_EQ(SendUntilRefused(c.server, c.accepted, 64), std::string(64, '1'));
    char byte = 'k';
    EXPECT_EQ(c.client.SendMessage(&byte, 1, -1), 1);
    EXPECT_EQ(c.server.ReceiveMessage(&byte, 1, 5000, c.accepted), 1) << "still open both ways";
}

// Which of `fds` a forked child still holds once it has exec'd a shell: their numbers, space-separated.
std::string HeldAfterExec(const std::vector<int>& fds)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return "no pipe";
    std::vector<std::string> args{"sh", "-c", "for n; do [ -L /proc/self/fd/$n ] && printf '%s ' $n; done; exit 0", "sh"};
    for (int fd : fds)
        args.push_back(std::to_string(fd));
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);  // dup2 clears close-on-exec on the copy
        execv("/bin/sh", argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string held;
    char chunk[256];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;)
        held.append(chunk, static_cast<size_t>(n));
    close(out[0]);
    int status = -1;
    waitpid(child, &status, 0);
    return status == 0 ? held : "shell failed";
}

TEST(JSocketCloseOnExec, ExecdChildHoldsNoneOfTheSocketsDescriptors)
{
    Connection local(true), ipv4(false);
    TempDir dir;
    JSocket datagram(dir.path("dgram").c_str(), UDP_SOCKET, UDP_RECEIVE);
    const std::vector<int> fds{local.server.fd, local.client.fd, local.accepted,
                               ipv4.server.fd, ipv4.client.fd, ipv4.accepted, datagram.fd};
    EXPECT_EQ(HeldAfterExec(fds), "");
    const int inheritable = dup(datagram.fd);  // the probe does see a descriptor without the flag
    EXPECT_EQ(HeldAfterExec({inheritable}), std::to_string(inheritable) + " ");
    close(inheritable);
}

}  // namespace
