// SPDX-License-Identifier: MIT
#include <fieldkit/core/Clock.h>
#include <fieldkit/net/JSocket.h>

#include "support/FakeClock.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

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
        unsigned long peer = 12345;
        server.tcp_check_for_connection(&peer, &accepted, 5000);
        EXPECT_TRUE(client.connected);
        EXPECT_GE(accepted, 0);
        EXPECT_EQ(peer, local ? 0ul : kLoopback) << "the peer's IPv4 address, 0 for a local peer";
    }
    ~Connection() { server.tcp_drop_client(accepted); }
};

TEST(JSocketStream, RequestAndReplyTravelBothWays)
{
    Connection c(true);
    TCPMessage request, received;  // request.socket -1: the client's own descriptor
    request.SetMessage("ping", 4);
    EXPECT_EQ(c.client.SendMessage(&request), 1);
    received.socket = c.accepted;
    EXPECT_TRUE(c.server.ReceiveMessage(&received, 5000));
    EXPECT_EQ(Bytes(received), "ping");
    char pong[] = "pong!";
    EXPECT_EQ(c.server.SendMessage(pong, 5, c.accepted), 1);
    EXPECT_TRUE(c.client.ReceiveMessage(&received, 5000, -1));
    EXPECT_EQ(Bytes(received), "pong!");
    Message empty;
    EXPECT_EQ(c.client.SendMessage(&empty, -1), 1) << "nothing sent, the connection still usable";
}

TEST(JSocketStream, FailedReceiveKeepsTheMessage)
{
    Connection c(true);
    Message m;
    m.SetMessage("kept", 4);
    EXPECT_TRUE(TakesMs(0, 1000, [&] { EXPECT_FALSE(c.server.ReceiveMessage(&m, 0, c.accepted)) << "a poll"; }));
    c.client.ResetSocket();
    EXPECT_FALSE(c.server.ReceiveMessage(&m, 5000, c.accepted)) << "the peer closed";
    EXPECT_EQ(Bytes(m), "kept");
    char raw[8];
    EXPECT_EQ(c.server.ReceiveMessage(raw, sizeof raw, 5000, c.accepted), -1);
}

// Catches a dropped errno case: a send to a peer that closed (EPIPE, local) or reset the connection
// (ECONNRESET, IPv4) gives 0 at once, and no SIGPIPE.
TEST(JSocketStream, SendToAClosedOrResetPeerGivesZero)
{
    static volatile std::sig_atomic_t sigpipe = 0;
    const auto old = signal(SIGPIPE, [](int) { sigpipe = 1; });
    for (bool local : {true, false}) {
        SCOPED_TRACE(local ? "local peer closed" : "IPv4 peer reset");
        Connection c(local);
        const linger abort_close{1, 0};  // an IPv4 close then resets the connection
        ASSERT_EQ(setsockopt(c.client.fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close), 0);
        c.client.ResetSocket();
        ASSERT_EQ(c.server.check_read(5000, c.accepted, 1), 1) << "the end has arrived";
        char byte = 'x';
        errno = 0;
        EXPECT_EQ(c.server.SendMessage(&byte, 1, c.accepted), 0);
        EXPECT_EQ(errno, local ? EPIPE : ECONNRESET);
    }
    EXPECT_EQ(sigpipe, 0);
    signal(SIGPIPE, old);
}

// A local server at a fresh path, with the descriptor count from before it was opened.
struct LocalServer {
    TempDir dir;
    const std::string path = dir.path("listen");
    const int before = OpenDescriptorCount();
    JSocket server{path.c_str(), TCP_SERVER, static_cast<UDP_dir>(5)};
};

TEST(JSocket, AcceptTakesAPendingConnection)
{
    LocalServer s;
    unsigned long peer = 7;
    int client_fd = 99;
    EXPECT_EQ(s.server.tcp_WaitForActivity(0), 0);
    EXPECT_EQ(s.server.tcp_check_for_connection(&peer, &client_fd, 0), 0);
    EXPECT_EQ(client_fd, 99);
    EXPECT_EQ(peer, 7ul);
    EXPECT_EQ(s.server.tcp_check_for_connection(&peer, nullptr, 0), 0) << "a null client_fd";
    JSocket client(s.path.c_str(), TCP_CLIENT, UDP_SEND);
    EXPECT_EQ(s.server.tcp_WaitForActivity(5000), 1);
    s.server.type = TCP_CLIENT;
    EXPECT_EQ(s.server.tcp_WaitForActivity(5000), 0) << "only a server waits for connections";
    s.server.type = TCP_SERVER;
    ASSERT_EQ(s.server.tcp_check_for_connection(nullptr, &client_fd, 5000), 1);
    s.server.tcp_drop_client(client_fd);
    EXPECT_EQ(client_fd, -1);
    s.server.tcp_drop_client(client_fd);  // -1: nothing to do
    EXPECT_EQ(OpenDescriptorCount(), s.before + 2);
}

// Rows keep a closed descriptor's number; once another file has it, no use of the socket may touch it.
// Catches a server that cannot come back on its port while its last connection
// lingers in TIME_WAIT (SO_REUSEADDR missing or set after bind).
TEST(JSocket, IPv4ServerRestartsOnItsPort)
{
    Connection c(false);
    c.server.tcp_drop_client(c.accepted);  // the server closes first: its side waits in TIME_WAIT
    char byte = 0;
    EXPECT_EQ(recv(c.client.fd, &byte, 1, 0), 0) << "the client saw the end";
    c.server.ResetSocket();
    c.server.type = TCP_SERVER;
    c.server.port = c.client.port;
    EXPECT_EQ(c.server.tcp_start_server(5), 1);
}

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
        s.server.tcp_close_listening_socket();
        s.server.ResetSocket();
        EXPECT_NE(fcntl(number, F_GETFD), -1) << "the file now at that number stays open";
        close(number);
        EXPECT_FALSE(PathExists(s.path));
        EXPECT_EQ(OpenDescriptorCount(), s.before);
    }
}

TEST(JSocket, NamesUpTo107Characters)
{
    TempDir dir;
    const std::string longest = dir.path(std::string(107 - dir.path().size() - 1, 'n')), too_long = longest + "n";
    const struct { const char* name; int opened; } rows[] = {{longest.c_str(), 1}, {too_long.c_str(), 0}, {"", 0}, {nullptr, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name ? "name of " + std::to_string(std::string(row.name).size()) : std::string("null"));
        JSocket s;
        EXPECT_EQ(s.InitializeSocket(row.name, TCP_SERVER, 5), row.opened);
    }
}

TEST(JSocket, ReinitializingClosesTheEarlierSocket)
{
    LocalServer s;
    EXPECT_EQ(s.server.InitializeSocket("", TCP_SERVER, 5), 0);
    EXPECT_TRUE(JSocket(s.path.c_str(), TCP_CLIENT, UDP_SEND).connected) << "a refused name leaves it open";
    const std::string second = s.dir.path("second");
    ASSERT_EQ(s.server.InitializeSocket(second.c_str(), TCP_SERVER, 5), 1);
    EXPECT_FALSE(PathExists(s.path));
    ASSERT_EQ(s.server.InitializeSocket(s.server.name, TCP_SERVER, 5), 1) << "its own name";
    EXPECT_EQ(OpenDescriptorCount(), s.before + 1);
    EXPECT_EQ(s.server.InitializeSocket(s.dir.path("odd").c_str(), static_cast<socket_type>(4), 0), 0) << "unknown kind";
    EXPECT_FALSE(PathExists(second)) << "the earlier socket was reset";
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

TEST(JSocketCheckRead, ServesDescriptorsAbove1024)
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
}

TEST(JSocketCheckRead, SignalsEndOnlyAnUnretriedWait)
{
    Connection c(true);  // nothing ever comes on c.accepted
    SignalStorm signals;
    int result = 1;
    EXPECT_TRUE(TakesMs(249, 500, [&] { result = c.server.check_read(250, c.accepted, 1); }));
    EXPECT_EQ(result, 0);
    errno = 0;
    EXPECT_EQ(c.server.check_read(5000, c.accepted, 0), -1);
    EXPECT_EQ(errno, EINTR);
}

// Catches a retried wait that starts its whole time-out again after an interruption.
TEST(JSocketCheckRead, RetriedWaitAfterOneSignalLastsWhatRemains)
{
    SocketPair pair;  // nothing ever comes
    FakeClock clock;
    const SignalStorm one(250, 1, [&] { clock.Advance(1900); });
    JSocket s;
    EXPECT_TRUE(TakesMs(0, 1000, [&] { EXPECT_EQ(s.check_read(2000, pair.fds[0], 1), 0); }));
}

TEST(JSocketCheckRead, ClosedOrAbsentDescriptorIsEBADF)
{
    JSocket s;
    const int closed = dup(STDERR_FILENO);
    close(closed);
    for (int fd : {closed, -1}) {  // -1: the own descriptor, which s lacks
        SCOPED_TRACE("descriptor " + std::to_string(fd));
        errno = 0;
        EXPECT_EQ(s.check_read(1000, fd, 1), -1);
        EXPECT_EQ(errno, EBADF);
    }
}

// Catches a wrong field (the gid from the uid) and a refusal of the client's own end.
TEST(JSocketCredentials, BothEndsSeeTheOthersIds)
{
    constexpr gid_t kOtherGid = 4242;
    LocalServer s;
    const pid_t parent = getpid(), child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {  // exit status 0: it saw the parent's pid through its own descriptor, then the close
        if (geteuid() == 0 && setgid(kOtherGid) != 0)  // as root, a group id unlike the user id
            _exit(2);
        JSocket client(s.path.c_str(), TCP_CLIENT, UDP_SEND);
        pid_t server_pid = 0;
        char byte;
        const bool seen = client.GetPeerCredentials(-1, &server_pid, nullptr, nullptr) == 1 && server_pid == parent;
        _exit(seen && recv(client.fd, &byte, 1, 0) == 0 ? 0 : 1);
    }
    int accepted = -1;
    ASSERT_EQ(s.server.tcp_check_for_connection(nullptr, &accepted, 5000), 1);
    pid_t pid = 0;
    uid_t uid = 12345;
    gid_t gid = 12345;
    EXPECT_EQ(s.server.GetPeerCredentials(accepted, &pid, &uid, &gid), 1);
    EXPECT_EQ(pid, child);
    EXPECT_EQ(uid, getuid());
    EXPECT_EQ(gid, geteuid() == 0 ? kOtherGid : getgid());
    EXPECT_EQ(s.server.GetPeerCredentials(accepted, nullptr, nullptr, nullptr), 1);
    s.server.tcp_drop_client(accepted);
    int status = -1;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
}

struct EveryKind : ::testing::Test {
    Connection ipv4{false}, local{true};
    JSocket datagram{local.dir.path("dgram").c_str(), UDP_SOCKET, UDP_RECEIVE};
};

TEST_F(EveryKind, CredentialsOnlyForALocalStreamPeer)
{
    JSocket none;
    SocketPair pair(SOCK_DGRAM);  // a connected local datagram pair does have credentials
    const int unconnected = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);  // its peer's pid reads 0
    const struct { const char* what; JSocket& s; int fd; } rows[] = {{"IPv4 connection", ipv4.server, ipv4.accepted},
                {"datagram", datagram, -1}, {"listening", local.server, -1}, {"bad number", none, 123456},
                {"connected datagram pair", none, pair.fds[0]}, {"unconnected stream", none, unconnected}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        pid_t pid = 777;
        EXPECT_EQ(row.s.GetPeerCredentials(row.fd, &pid, nullptr, nullptr), 0);
        EXPECT_EQ(pid, 777) << "a refusal writes nothing";
    }
    close(unconnected);
}

// Catches a socket, local or IPv4 accepted connection an exec'd program would inherit.
TEST_F(EveryKind, DescriptorsAreCloseOnExec)
{
    EXPECT_EQ(HeldAfterExec({local.server.fd, local.client.fd, local.accepted, ipv4.accepted, datagram.fd}), "");
}

// The results of up to `most` sends of `bytes` each to a peer that never reads, up to the first 0.
std::string SendUntilRefused(JSocket& s, int sender, int most, size_t bytes = 65536)
{
    std::string chunk = Pattern(bytes), results;
    for (int i = 0; i < most && results.find('0') == std::string::npos; ++i)
        results += static_cast<char>('0' + s.SendMessage(&chunk[0], chunk.size(), sender));
    return results;
}

// Rows: the send that times out finds room for part of its 4 MiB, or none; either way it ends the connection.
TEST(JSocketSendTimeout, CutShortSendEndsTheConnection)
{
    for (bool full_before : {false, true}) {
        SCOPED_TRACE(full_before ? "queue full before the send" : "room for part of it");
        Connection c(true);
        const int flags = fcntl(c.accepted, F_GETFL);
        ASSERT_EQ(fcntl(c.accepted, F_SETFL, flags | O_NONBLOCK), 0);
        SendUntilRefused(c.server, c.accepted, full_before ? 64 : 0);
        ASSERT_EQ(fcntl(c.accepted, F_SETFL, flags), 0);
        const timeval bound{0, 50000};
        ASSERT_EQ(setsockopt(c.accepted, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound), 0);
        EXPECT_EQ(SendUntilRefused(c.server, c.accepted, 4, 4 << 20), "10") << "the cut-short send itself gives 1";
        for (Message m; c.client.ReceiveMessage(&m, 5000, -1);) {
        }
        EXPECT_EQ(c.client.check_read(0, -1, 0), 1) << "the client sees the end, not a time-out";
    }
}

// Fault caught: EINTR under SO_SNDTIMEO (even with SA_RESTART) taken for a time-out
// or for success, losing the unsent part or cutting the connection.
TEST(JSocketSendTimeout, SignalsDuringABoundedSendLoseNoByteAndKeepTheConnection)
{
    Connection c(true);
    const std::string message = Pattern(4 << 20);  // far more than the socket buffers hold
    const pid_t reader = fork();
    if (reader == 0) {  // reads only once the sender is blocked, then answers whether all came in order
        Sleep(300);
        std::string got;
        for (Message m; got.size() < message.size() && c.server.ReceiveMessage(&m, 5000, c.accepted);)
            got.append(m.data, m.length);
        char verdict = got == message ? 'y' : 'n';
        c.server.SendMessage(&verdict, 1, c.accepted);
        _exit(0);
    }
    ASSERT_EQ(c.client.SetSendTimeout(20000), 1);
    int sent = 0;
    {
        SignalStorm signals(20, -1, {}, true);
        sent = c.client.SendMessage(const_cast<char*>(message.data()), message.size(), -1);
    }
    EXPECT_EQ(sent, 1);
    char verdict = 0;
    EXPECT_EQ(c.client.ReceiveMessage(&verdict, 1, 20000, -1), 1) << "the connection is still open";
    EXPECT_EQ(verdict, 'y') << "every byte arrived, in order";
    int status = 0;
    EXPECT_EQ(waitpid(reader, &status, 0), reader);
}

// Rows: what SetSendTimeout refuses and what it sets (SO_SNDTIMEO as read back).
TEST(JSocketSendTimeout, SetSendTimeoutBoundsClientsAndRefusesTheRest)
{
    Connection c(true);
    JSocket empty;
    EXPECT_EQ(empty.SetSendTimeout(100), 0) << "no descriptor";
    EXPECT_EQ(c.server.SetSendTimeout(100), 0) << "a listening socket";
    EXPECT_EQ(c.client.SetSendTimeout(-1), 0);
    for (int ms : {0, 1500}) {  // the kernel keeps whole clock ticks
        SCOPED_TRACE(ms);
        EXPECT_EQ(c.client.SetSendTimeout(ms), 1);
        timeval bound{};
        socklen_t size = sizeof bound;
        getsockopt(c.client.fd, SOL_SOCKET, SO_SNDTIMEO, &bound, &size);
        EXPECT_EQ(bound.tv_sec * 1000 + bound.tv_usec / 1000, ms);
    }
}

TEST(JSocketSendTimeout, NonBlockingSendKeepsTheConnection)
{
    Connection c(true);
    const timeval bound{0, 50000};  // set, but a non-blocking send never waits for it
    ASSERT_EQ(setsockopt(c.accepted, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound), 0);
    ASSERT_EQ(fcntl(c.accepted, F_SETFL, fcntl(c.accepted, F_GETFL) | O_NONBLOCK), 0);
    EXPECT_EQ(SendUntilRefused(c.server, c.accepted, 64), std::string(64, '1'));
    char byte = 'k';
    EXPECT_EQ(c.client.SendMessage(&byte, 1, -1), 1);
    EXPECT_EQ(c.server.ReceiveMessage(&byte, 1, 5000, c.accepted), 1) << "still open both ways";
}

}  // namespace
