// SPDX-License-Identifier: MIT
#include <fieldkit/core/Clock.h>
#include <fieldkit/net/JSocket.h>

#include "support/FakeClock.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <thread>

namespace {

using namespace fktest;

// A local server at a fresh path, with the descriptor count from before it was opened.
struct LocalServer {
    TempDir dir;
    const std::string path = dir.path("listen");
    const int before = OpenDescriptorCount();
    JSocket server{path.c_str(), TCP_SERVER, static_cast<UDP_dir>(5)};
};

// That server, or one on 127.0.0.1 instead, a client connected to it and the server's end.
struct Connection : LocalServer {
    JSocket client;
    int accepted = -1;

    explicit Connection(bool local)
    {
        if (local) {
            client.InitializeSocket(path.c_str(), TCP_CLIENT, 0);
        } else {
            server.ResetSocket();
            server.port = client.port = FreeLoopbackPort(SOCK_STREAM);
            server.ip_addr = 0x0AFFFF01u;  // ignored: a server binds to every interface
            server.tcp_start_server(5);
            client.ip_addr = kLoopback;
            client.tcp_start_client();
        }
        unsigned long peer = 12345;
        server.tcp_check_for_connection(&peer, &accepted, 5000);
        EXPECT_GE(accepted, 0);
        EXPECT_EQ(peer, local ? 0ul : kLoopback) << "the peer's IPv4 address, 0 for a local peer";
    }
    ~Connection() { server.tcp_drop_client(accepted); }
};

// Catches a record on the wrong descriptor, an empty send taken for a lost connection, and a closed
// peer read as 0 bytes.
TEST(JSocketStream, RequestReplyAndTheEnd)
{
    Connection c(true);
    TCPMessage request, received;  // request.socket -1: the client's own descriptor
    request.SetMessage("ping", 4);
    EXPECT_EQ(c.client.SendMessage(&request), 1);
    received.socket = c.accepted;
    EXPECT_TRUE(c.server.ReceiveMessage(&received, 5000));
    EXPECT_EQ(std::string(received.data, received.length), "ping");
    char pong[] = "pong!";
    EXPECT_EQ(c.server.SendMessage(pong, 5, c.accepted), 1);
    EXPECT_TRUE(c.client.ReceiveMessage(&received, 5000, -1));
    EXPECT_EQ(std::string(received.data, received.length), "pong!");
    Message empty;
    EXPECT_EQ(c.client.SendMessage(&empty, -1), 1) << "nothing sent, the connection still usable";
    c.server.tcp_drop_client(c.accepted);
    EXPECT_FALSE(c.client.ReceiveMessage(&received, 5000, -1));
    char raw[8];
    EXPECT_EQ(c.client.ReceiveMessage(raw, sizeof raw, 5000, -1), -1);
}

// Catches a dropped errno case: a send to a peer that reset the connection gives 0 (ECONNRESET), as
// does the next one (EPIPE), without SIGPIPE.
TEST(JSocketStream, SendToAResetPeerGivesZero)
{
    static volatile std::sig_atomic_t sigpipe = 0;
    const auto old = signal(SIGPIPE, [](int) { sigpipe = 1; });
    Connection c(false);
    const linger abort_close{1, 0};  // the close then resets the connection
    ASSERT_EQ(setsockopt(c.client.fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close), 0);
    c.client.ResetSocket();
    ASSERT_EQ(c.server.check_read(5000, c.accepted, 1), 1) << "the reset has arrived";
    for (int reason : {ECONNRESET, EPIPE}) {
        SCOPED_TRACE(reason);
        char byte = 'x';
        errno = 0;
        EXPECT_EQ(c.server.SendMessage(&byte, 1, c.accepted), 0);
        EXPECT_EQ(errno, reason);
    }
    EXPECT_EQ(sigpipe, 0);
    signal(SIGPIPE, old);
}

// Catches a time-out that writes a result, a refused null client_fd that accepts, a drop that does not close.
TEST(JSocket, AcceptTakesAPendingConnection)
{
    LocalServer s;
    int client_fd = 99;
    EXPECT_EQ(s.server.tcp_WaitForActivity(0), 0);
    EXPECT_EQ(s.server.tcp_check_for_connection(nullptr, &client_fd, 0), 0);
    EXPECT_EQ(client_fd, 99);
    JSocket client(s.path.c_str(), TCP_CLIENT, UDP_SEND);
    EXPECT_EQ(s.server.tcp_check_for_connection(nullptr, nullptr, 5000), 0) << "a null client_fd";
    s.server.type = TCP_CLIENT;
    EXPECT_EQ(s.server.tcp_WaitForActivity(5000), 0) << "only a server waits for connections";
    s.server.type = TCP_SERVER;
    EXPECT_EQ(s.server.tcp_WaitForActivity(5000), 1) << "still pending";
    ASSERT_EQ(s.server.tcp_check_for_connection(nullptr, &client_fd, 5000), 1);
    s.server.tcp_drop_client(client_fd);
    EXPECT_EQ(client_fd, -1);
    EXPECT_EQ(OpenDescriptorCount(), s.before + 2);
}

// Catches a server that cannot come back on its port while its last connection
// lingers in TIME_WAIT (SO_REUSEADDR missing or set after bind).
TEST(JSocket, IPv4ServerRestartsOnItsPort)
{
    Connection c(false);
    c.server.tcp_drop_client(c.accepted);  // the server closes first: its side waits in TIME_WAIT
    char byte = 0;
    EXPECT_EQ(recv(c.client.fd, &byte, 1, 0), 0) << "the client saw the end";
    c.server.ResetSocket();
    c.server.port = c.client.port;
    EXPECT_EQ(c.server.tcp_start_server(5), 1);
}

// Rows keep a closed descriptor's number; once another file has it, no use of the socket may touch it.
TEST(JSocket, ClosedDescriptorIsNotClosedAgain)
{
    for (bool bind_failed : {false, true}) {
        SCOPED_TRACE(bind_failed ? "bind failed" : "closed listening socket");
        LocalServer s;
        if (bind_failed)
            EXPECT_EQ(s.server.InitializeSocket(s.dir.path("missing/sock").c_str(), TCP_SERVER, 5), 0);
        else
            s.server.tcp_close_listening_socket();
        const int number = s.server.fd;
        ASSERT_NE(number, -1);
        ASSERT_EQ(fcntl(number, F_GETFD), -1) << "the descriptor is closed";
        ASSERT_EQ(dup2(STDERR_FILENO, number), number);
        EXPECT_EQ(s.server.check_read(0, -1, 0), -1);
        EXPECT_EQ(s.server.tcp_WaitForActivity(0), 0);
        s.server.tcp_close_listening_socket();
        s.server.ResetSocket();
        EXPECT_NE(fcntl(number, F_GETFD), -1) << "the file now at that number stays open";
        close(number);
        EXPECT_FALSE(PathExists(s.path));
        EXPECT_EQ(OpenDescriptorCount(), s.before);
    }
}

// Rows: a refused name (too long, empty, null) leaves the earlier socket open. Then a 107-character
// name, the socket's own name and an unknown kind each reset the earlier socket first.
TEST(JSocket, NamesUpTo107Characters)
{
    LocalServer s;
    const std::string longest = s.dir.path(std::string(107 - s.dir.path().size() - 1, 'n')), too_long = longest + "n";
    for (const char* refused : {too_long.c_str(), "", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(refused ? "name of " + std::to_string(std::string(refused).size()) : std::string("null"));
        EXPECT_EQ(s.server.InitializeSocket(refused, TCP_SERVER, 5), 0);
        EXPECT_TRUE(JSocket(s.path.c_str(), TCP_CLIENT, UDP_SEND).connected);
    }
    ASSERT_EQ(s.server.InitializeSocket(longest.c_str(), TCP_SERVER, 5), 1);
    EXPECT_FALSE(PathExists(s.path));
    ASSERT_EQ(s.server.InitializeSocket(s.server.name, TCP_SERVER, 5), 1) << "its own name";
    EXPECT_EQ(OpenDescriptorCount(), s.before + 1);
    EXPECT_EQ(s.server.InitializeSocket(s.dir.path("odd").c_str(), static_cast<socket_type>(4), 0), 0) << "unknown kind";
    EXPECT_FALSE(PathExists(longest));
    EXPECT_EQ(OpenDescriptorCount(), s.before);
}

TEST(JSocket, ClientGivesUpAfterTenAttempts)
{
    TempDir dir;
    const int before = OpenDescriptorCount();
    JSocket client;
    int opened = -1;
    // Ten pauses of 500 ms: one fewer or one more falls outside.
    EXPECT_TRUE(TakesMs(4900, 5400, [&] { opened = client.InitializeSocket(dir.path("absent").c_str(), TCP_CLIENT, 0); }));
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// Rows: a retried wait (of a receive, of an accept) that starts its whole time-out again after one
// signal, or ends there. Then an unretried wait that goes on after a signal.
TEST(JSocketCheckRead, OneSignal)
{
    LocalServer s;  // nothing ever comes
    {
        FakeClock clock;
        for (bool accept : {false, true}) {
            SCOPED_TRACE(accept ? "accept" : "receive");
            const SignalStorm one(250, 1, [&] { clock.Advance(1900); });  // 100 ms remain after it
            int fd = -1;
            Message m;
            EXPECT_TRUE(TakesMs(300, 1000, [&] {
                EXPECT_EQ(accept ? s.server.tcp_check_for_connection(nullptr, &fd, 2000)
                                 : s.server.ReceiveMessage(&m, 2000, -1), 0);
            }));
        }
    }
    const SignalStorm signals;
    errno = 0;
    EXPECT_EQ(s.server.check_read(5000, -1, 0), -1);
    EXPECT_EQ(errno, EINTR);
}

// Catches a wait limited to numbers below 1024 (select), and a closed descriptor taken for a
// readable one (poll's POLLNVAL).
TEST(JSocketCheckRead, AnyDescriptorNumber)
{
    const rlimit limit{2048, 2048};
    setrlimit(RLIMIT_NOFILE, &limit);
    SocketPair pair;
    const int reader = fcntl(pair.fds[0], F_DUPFD, 1024);
    ASSERT_GE(reader, 1024) << "cannot raise the descriptor limit";
    JSocket s;
    EXPECT_EQ(s.check_read(30, reader, 0), 0);
    ASSERT_EQ(write(pair.fds[1], "high", 4), 4);
    EXPECT_EQ(s.check_read(-1, reader, 0), 1);
    close(reader);
    errno = 0;
    EXPECT_EQ(s.check_read(1000, reader, 1), -1) << "closed";
    EXPECT_EQ(errno, EBADF);
}

// A local and an IPv4 connection, as root made under a group id unlike the user id.
struct EveryKind : ::testing::Test {
    const int inheritable = InheritableDescriptorCount();  // before the connections open
    const gid_t own_gid = getegid(), gid = geteuid() == 0 ? 4242 : own_gid;
    const bool grouped = setegid(gid) == 0;
    Connection ipv4{false}, local{true};
    ~EveryKind() override { setegid(own_gid); }
};

// Catches a wrong field (the gid from the uid) and a refusal of the client's own end.
TEST_F(EveryKind, CredentialsOfALocalPeer)
{
    ASSERT_TRUE(grouped);
    pid_t pid = 0;
    uid_t uid = 12345;
    gid_t peer_gid = 12345;
    EXPECT_EQ(local.server.GetPeerCredentials(local.accepted, &pid, &uid, &peer_gid), 1);
    EXPECT_EQ(pid, getpid());
    EXPECT_EQ(uid, geteuid());
    EXPECT_EQ(peer_gid, gid);
    EXPECT_EQ(local.client.GetPeerCredentials(-1, nullptr, nullptr, nullptr), 1) << "the client's own end";
}

TEST_F(EveryKind, CredentialsOnlyForALocalStreamPeer)
{
    SocketPair pair(SOCK_DGRAM);  // a connected local datagram pair does have credentials
    const int unconnected = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);  // its peer's pid reads 0
    const struct { const char* what; int fd; } rows[] = {{"IPv4 connection", ipv4.accepted},
        {"listening", local.server.fd}, {"datagram pair", pair.fds[0]}, {"unconnected stream", unconnected}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        pid_t pid = 777;
        EXPECT_EQ(local.server.GetPeerCredentials(row.fd, &pid, nullptr, nullptr), 0);
        EXPECT_EQ(pid, 777) << "a refusal writes nothing";
    }
    close(unconnected);
}

// Catches a socket, local or IPv4 accepted connection an exec'd program would inherit.
TEST_F(EveryKind, DescriptorsAreCloseOnExec)
{
    EXPECT_EQ(InheritableDescriptorCount(), inheritable);
}

// The results of up to `most` sends of `bytes` each to a peer that never reads, up to the first 0.
std::string SendUntilRefused(JSocket& s, int sender, int most, size_t bytes = 65536)
{
    std::string chunk = Pattern(bytes), results;
    for (int i = 0; i < most && results.find('0') == std::string::npos; ++i)
        results += static_cast<char>('0' + s.SendMessage(&chunk[0], chunk.size(), sender));
    return results;
}

// Rows: a 4 MiB send the 50 ms bound cuts short (room for part of it, or none) gives 1 and ends the
// connection; on a non-blocking descriptor the bound never applies and the connection stays.
TEST(JSocketSendTimeout, CutShortSendEndsTheConnection)
{
    const struct { const char* what; int fill; bool blocking; const char* results; int end; } rows[] = {
        {"room for part", 0, true, "10", 1}, {"queue full", 64, true, "10", 1}, {"non-blocking", 64, false, "1111", 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Connection c(true);
        const int flags = fcntl(c.client.fd, F_GETFL);
        ASSERT_EQ(fcntl(c.client.fd, F_SETFL, flags | O_NONBLOCK), 0);
        SendUntilRefused(c.client, -1, row.fill);
        ASSERT_EQ(fcntl(c.client.fd, F_SETFL, row.blocking ? flags : flags | O_NONBLOCK), 0);
        ASSERT_EQ(c.client.SetSendTimeout(50), 1);
        EXPECT_EQ(SendUntilRefused(c.client, -1, 4, 4 << 20), row.results);
        for (Message m; c.server.ReceiveMessage(&m, 500, c.accepted);) {
        }
        EXPECT_EQ(c.server.check_read(0, c.accepted, 0), row.end) << "the server sees the end";
    }
}

// Catches EINTR under SO_SNDTIMEO (even with SA_RESTART) taken for a time-out
// or for success, losing the unsent part or cutting the connection.
TEST(JSocketSendTimeout, SignalsDuringABoundedSendLoseNoByte)
{
    Connection c(true);
    const std::string message = Pattern(4 << 20);  // far more than the socket buffers hold
    std::string got;
    std::thread reader([&] {  // reads only once the sender is blocked
        Sleep(300);
        for (Message m; got.size() < message.size() && c.server.ReceiveMessage(&m, 5000, c.accepted);)
            got.append(m.data, m.length);
    });
    EXPECT_EQ(c.client.SetSendTimeout(20000), 1);
    {
        const SignalStorm signals(20, -1, {}, true);
        EXPECT_EQ(c.client.SendMessage(const_cast<char*>(message.data()), message.size(), -1), 1);
    }
    reader.join();
    EXPECT_TRUE(got == message) << got.size() << " bytes arrived";
    EXPECT_EQ(c.server.check_read(0, c.accepted, 0), 0) << "the connection is still open";
}

// Catches a bound on a listening socket, a refused 0 (no bound) and a bound of over a second set wrong.
TEST(JSocketSendTimeout, SetSendTimeout)
{
    Connection c(true);
    EXPECT_EQ(c.server.SetSendTimeout(100), 0) << "a listening socket";
    for (int ms : {0, 1500}) {  // the kernel keeps whole clock ticks
        SCOPED_TRACE(ms);
        EXPECT_EQ(c.client.SetSendTimeout(ms), 1);
        EXPECT_EQ(SendBoundMs(c.client.fd), ms);
    }
}

}  // namespace
