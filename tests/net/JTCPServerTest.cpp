// SPDX-License-Identifier: MIT
#include <fieldkit/core/Clock.h>
#include <fieldkit/net/JTCPServer.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr unsigned short kReplyMs = 30000;  // generous bound for anything that should come at once
constexpr unsigned short kSilenceMs = 400;  // how long "nothing happens" is watched
#ifndef FIELDKIT_SOAK_CYCLES  // per client; a full table paces the accepting thread at 100 ms
#define FIELDKIT_SOAK_CYCLES 64
#endif

template <typename Pred>
bool WaitUntil(Pred done)
{
    for (int waited = 0; waited < kReplyMs && !done(); waited += 2)
        Sleep(2);
    return done();
}

struct Client : JSocket {
    explicit Client(const std::string& path) : JSocket(path.c_str(), TCP_CLIENT, UDP_SEND) {}
    bool Send(const std::string& s) { return SendMessage(const_cast<char*>(s.data()), s.size(), -1) == 1; }
    bool Echo(const std::string& s) { return Send(s) && Receive(s.size()) == s; }
    // Reads until `n` bytes came, the peer closed, or nothing came for `wait_ms`.
    std::string Receive(size_t n, unsigned short wait_ms = kReplyMs)
    {
        std::string got;
        char buf[4096];
        while (got.size() < n) {
            const int k = ReceiveMessage(buf, std::min(sizeof buf, n - got.size()), wait_ms, -1);
            if (k <= 0)
                break;
            got.append(buf, static_cast<size_t>(k));
        }
        return got;
    }
    bool Closed()  // the peer ended the connection (nothing left unread)
    {
        char c;
        return check_read(kReplyMs, -1, 1) > 0 && recv(fd, &c, 1, 0) <= 0;
    }
};

// Holds /dev/null open on every free descriptor below `top`, so that the next
// ones opened are numbered from `top` on.
struct LowDescriptorsTaken {
    explicit LowDescriptorsTaken(int top)
    {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, top + 64);
        setrlimit(RLIMIT_NOFILE, &limit);  // beyond the hard limit: the opens below fail
        for (int fd = 0; fd != -1 && fd < top;)
            fds.push_back(fd = open("/dev/null", O_RDONLY | O_CLOEXEC));
    }
    ~LowDescriptorsTaken() { for (int fd : fds) close(fd); }
    std::vector<int> fds;
};

// Answers every message with its bytes on the same connection and records what
// it saw; "slow" is answered only after 400 ms.
class EchoApp : public JStdApp {
public:
    int OnMessage(TCPMessage* m) override
    {
        const std::string bytes(m->data, m->length);
        const bool slow = bytes == "slow";
        slow_phase += slow;
        Sleep(slow ? 400 : 0);
        thread = pthread_self();
        total += bytes.size();
        {
            std::lock_guard<std::mutex> lock(mutex);
            messages.push_back(bytes);
        }
        server->SendMessage(m);  // after a slow sleep: while the server is stopping
        slow_phase += slow;
        return 0;
    }
    std::vector<std::string> Messages() { std::lock_guard<std::mutex> lock(mutex); return messages; }

    JTCPServer* server = nullptr;
    std::mutex mutex;  // guards messages
    std::vector<std::string> messages;
    std::atomic<pthread_t> thread{};
    std::atomic<size_t> total{0};  // word-sized: lock-free on 32-bit targets too
    std::atomic<int> slow_phase{0};  // 1 while "slow" sleeps, 2 once it was answered
};

// A server with `count` slots on a fresh path, answered by an EchoApp unless
// `serve` is false; `before` is the descriptor count from before it.
struct EchoServer {
    explicit EchoServer(int count, bool serve = true) : server(new JTCPServer(path.c_str(), count))
    {
        app.server = server.get();
        server->SetApp(serve ? &app : nullptr);
    }
    fktest::TempDir dir;
    const std::string path = dir.path("srv");
    const int before = fktest::OpenDescriptorCount();
    EchoApp app;  // outlives the server
    std::unique_ptr<JTCPServer> server;
};

TEST(JTCPServer, RefusesBadStartsListensWithoutSlotsAndRestarts)
{
    EchoServer s(-1);
    EXPECT_FALSE(fktest::PathExists(s.path));
    EXPECT_EQ(s.server->StartServer(s.dir.path("missing/srv").c_str(), 4), 0);
    ASSERT_EQ(s.server->StartServer(s.path.c_str(), 0), 1);
    EXPECT_EQ(s.server->StartServer(s.path.c_str(), -1), 0);  // changes nothing
    Client waiting(s.path);  // no slot: stays in the backlog
    ASSERT_TRUE(waiting.Send("hello"));
    EXPECT_EQ(waiting.Receive(5, kSilenceMs), "");

    const std::string second = s.dir.path("second");
    ASSERT_EQ(s.server->StartServer(second.c_str(), 1), 1);
    EXPECT_FALSE(fktest::PathExists(s.path));
    EXPECT_TRUE(waiting.Closed());
    EXPECT_TRUE(Client(second).Echo("again"));
}

TEST(JTCPServer, AnswersOnTheSameConnectionFromTheReadingThreadOnceAnAppIsSet)
{
    EchoServer s(4, false);
    Client client(s.path);
    ASSERT_TRUE(client.Send("early"));
    ASSERT_TRUE(WaitUntil([&] {  // dropped without an application: wait until the server read it
        int queued = -1;
        return ioctl(s.server->connections[0]->fd, FIONREAD, &queued) == 0 && queued == 0;
    }));
    Sleep(100);  // past the delivery that follows the read
    s.server->SetApp(&s.app);

    const std::string big = fktest::Pattern(3000);
    EXPECT_TRUE(client.Echo("ping"));
    EXPECT_TRUE(client.Echo(big));
    EXPECT_EQ(s.app.Messages(), (std::vector<std::string>{"ping", big.substr(0, 2048), big.substr(2048)}));
    EXPECT_TRUE(pthread_equal(s.app.thread, s.server->listen_thread.id));
}

TEST(JTCPServer, FullTableKeepsTheNextClientInTheBacklogUntilOneCloses)
{
    const LowDescriptorsTaken taken(1100);  // slots past FD_SETSIZE: the waits must poll
    EchoServer s(2);
    Client first(s.path);
    ASSERT_TRUE(first.Echo("one"));
    Client second(s.path);
    ASSERT_TRUE(second.Echo("two"));
    Client third(s.path);
    ASSERT_TRUE(third.Send("three"));
    EXPECT_EQ(third.Receive(5, kSilenceMs), "");

    first.ResetSocket();  // frees slot 0 without a message
    EXPECT_EQ(third.Receive(5), "three");
    EXPECT_EQ(s.app.Messages(), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_GE(s.server->connections[0]->fd, 1100);
}

TEST(JTCPServer, DestroyWhileClientsSendAndOnMessageSleepsClosesEverything)
{
    EchoServer s(4);
    Client slow(s.path);
    ASSERT_TRUE(slow.Echo("hi"));
    std::atomic<int> exchanges{0};
    std::atomic<bool> gone{false};
    std::vector<std::thread> crowd;  // more than the free slots: two wait in the backlog
    for (int c = 0; c < 5; ++c) {
        crowd.emplace_back([&, c] {
            Client client(s.path);
            const std::string text = "client " + std::to_string(c);
            while (!gone && client.Send(text))  // a send fails once the server is gone
                exchanges += client.Receive(text.size(), 2000) == text;
        });
    }
    EXPECT_TRUE(WaitUntil([&] { return exchanges > 50; }));
    EXPECT_TRUE(slow.Send("slow"));
    EXPECT_TRUE(WaitUntil([&] { return s.app.slow_phase == 1; }));
    s.server.reset();  // waits for the sleeping OnMessage
    gone = true;
    for (auto& t : crowd)
        t.join();
    EXPECT_EQ(s.app.slow_phase, 2);
    EXPECT_EQ(slow.Receive(4), "slow");
    EXPECT_TRUE(slow.Closed());
    slow.ResetSocket();
    EXPECT_FALSE(fktest::PathExists(s.path));
    EXPECT_EQ(fktest::OpenDescriptorCount(), s.before);
}

// A listening local stream socket at `path` made outside the library; -1 on failure.
int ListenAt(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(JTCPServer, StartServerOnListenerRefusesAnythingButALocalListenerAndChangesNothing)
{
    EchoServer s(2);
    const int file = open(s.dir.path("file").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    const int datagram = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int pair[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    JSocket ipv4;  // a listening socket of the wrong family
    ipv4.port = fktest::FreeLoopbackPort(SOCK_STREAM);
    ASSERT_EQ(ipv4.tcp_start_server(1), 1);
    const int listener = ListenAt(s.dir.path("adopt"));
    const struct {
        const char* what;
        int fd;
        int count;
    } refused[] = {{"file", file, 2},          {"datagram socket", datagram, 2}, {"connected socket", pair[0], 2},
                   {"-1", -1, 2},              {"IPv4 listener", ipv4.fd, 2},    {"negative count", listener, -1}};
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(s.server->StartServerOnListener(r.fd, r.count), 0);
        EXPECT_TRUE(r.fd == -1 || IsOpen(r.fd));  // still the caller's
    }
    EXPECT_TRUE(Client(s.path).Echo("still serving"));
    for (int fd : {file, datagram, pair[0], pair[1], listener})
        close(fd);
}

TEST(JTCPServer, StartServerOnListenerServesTheAdoptedSocketClosesItOnceAndKeepsItsPath)
{
    EchoServer s(-1);
    const std::string path = s.dir.path("adopt");
    const int listener = ListenAt(path);
    ASSERT_NE(listener, -1);
    ASSERT_EQ(fcntl(listener, F_SETFD, 0), 0);
    ASSERT_EQ(s.server->StartServerOnListener(listener, 2), 1);
    EXPECT_EQ(fcntl(listener, F_GETFD), FD_CLOEXEC);
    EXPECT_TRUE(Client(path).Echo("adopted"));
    s.server.reset();
    EXPECT_FALSE(IsOpen(listener));
    EXPECT_TRUE(fktest::PathExists(path));
    EXPECT_EQ(fktest::OpenDescriptorCount(), s.before);
}

// One soak connection: sends 1..6000 random bytes in random pieces and checks
// the echo, or closes at once or with the echo unread. False on a failure.
bool SoakCycle(const std::string& path, std::mt19937& rng, std::atomic<size_t>& sent)
{
    Client client(path);
    const unsigned kind = rng() % 16;
    if (kind == 0 || !client.connected)
        return client.connected;
    std::string payload(1 + rng() % 6000, '\0');
    std::generate(payload.begin(), payload.end(), [&] { return static_cast<char>(rng()); });
    for (size_t done = 0, piece = 0; done < payload.size(); done += piece) {
        piece = rng() % 3 == 0 ? payload.size() - done : 1 + rng() % (payload.size() - done);
        if (!client.Send(payload.substr(done, piece)))
            return false;
    }
    sent += payload.size();
    return kind <= 2 || client.Receive(payload.size()) == payload;
}

TEST(JTCPServer, SoakManyClientsThroughFewSlotsKeepEveryByte)
{
    EchoServer s(8);
    std::atomic<size_t> sent{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (unsigned c = 0; c < 16; ++c) {
        clients.emplace_back([&, c] {
            std::mt19937 rng(1234u + c);
            for (int i = 0; i < FIELDKIT_SOAK_CYCLES && failures == 0; ++i)
                failures += !SoakCycle(s.path, rng, sent);
        });
    }
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(failures, 0);
    // Bytes of clients that closed early are still read before their end.
    EXPECT_TRUE(WaitUntil([&] { return s.app.total == sent; }));
    s.server.reset();
    EXPECT_FALSE(fktest::PathExists(s.path));
    EXPECT_EQ(fktest::OpenDescriptorCount(), s.before);
}

}  // namespace
