// SPDX-License-Identifier: MIT
// JTCPServer end to end: one test per behaviour an application sees. The
// readiness set and the output queue have their own unit tests in detail/.
#include <fieldkit/core/Clock.h>
#include <fieldkit/net/JTCPServer.h>

#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>

namespace {

constexpr unsigned short kReplyMs = 30000;  // bound for anything that should come at once
constexpr int kStopPauseMs = 150, kSlowMs = 500;
#ifdef FIELDKIT_EMULATED  // qemu-ppc: fewer connections, wider margins
constexpr int kFlooders = 3, kMessages = 20;
constexpr double kMarginMs = 4000;
#else
constexpr int kFlooders = 7, kMessages = 100;
constexpr double kMarginMs = 2000;
#endif

using SteadyClock = std::chrono::steady_clock;
double MsSince(SteadyClock::time_point start) { return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count(); }

template <typename Pred>
bool WaitUntil(Pred done, int limit_ms = kReplyMs)
{
    for (int waited = 0; waited < limit_ms && !done(); waited += 2)
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
        for (int k = 1; got.size() < n && k > 0; got.append(buf, static_cast<size_t>(std::max(k, 0))))
            k = ReceiveMessage(buf, std::min(sizeof buf, n - got.size()), wait_ms, -1);
        return got;
    }
    bool Closed(unsigned short wait_ms = kReplyMs)  // the peer ended the connection (nothing left unread)
    {
        char c;
        return check_read(wait_ms, -1, 1) > 0 && recv(fd, &c, 1, 0) <= 0;
    }
    bool Stuff() { return send(fd, std::string(16384, 'f').data(), 16384, MSG_DONTWAIT | MSG_NOSIGNAL) > 0 || errno == EAGAIN; }
};

// A 1000-byte record: its kind, its number, then its kind again to the end.
std::string Record(char kind, int k)
{
    char head[16];
    std::snprintf(head, sizeof head, "%c%08d", kind, k);
    return head + std::string(1000 - 9, kind);
}

// Echoes every message. "slow" is answered after kSlowMs, "big" with 512 KiB, each '#' with an
// R record. Notes the threads, the messages of each descriptor and handlers that overlapped on one.
struct EchoApp : JStdApp {
    int OnMessage(TCPMessage* m) override
    {
        const std::string bytes(m->data, m->length);
        {
            std::lock_guard<std::mutex> lock(mutex);
            overlaps += !busy.insert(m->socket).second;
            threads.insert(pthread_self());
        }
        thread = pthread_self();
        sleeping += bytes == "slow";
        Sleep(bytes == "slow" ? kSlowMs : 0);
        std::string reply = bytes == "big" ? fktest::Pattern(512 * 1024) : bytes;
        if (bytes.find_first_not_of('#') == std::string::npos)
            for (reply.clear(); reply.size() < 1000 * bytes.size();)
                reply += Record('R', records++);
        server->SendMessage(reply.data(), reply.size(), m->socket);
        std::lock_guard<std::mutex> lock(mutex);
        busy.erase(m->socket);
        return 0;
    }
    template <typename T>
    T Get(T EchoApp::*member) { std::lock_guard<std::mutex> lock(mutex); return this->*member; }

    JTCPServer* server = nullptr;
    std::mutex mutex;  // guards the containers and overlaps
    std::set<int> busy;
    std::set<pthread_t> threads;
    int overlaps = 0;
    int records = 0;  // R records sent (one reading thread per connection: no lock needed)
    std::atomic<pthread_t> thread{};
    std::atomic<int> sleeping{0};
};

// Notes every accepted and closed connection; refuses them while `refuse` is set.
struct Events : JConnectionEvents {
    bool OnAccept(const JConnectionInfo& info) override { const auto lock = Lock(); accepted.push_back(info); return !refuse; }
    void OnClose(const JConnectionInfo& info, conn_close_reason reason) override { const auto lock = Lock(); closed.push_back({info, reason}); }
    size_t Closes() { const auto lock = Lock(); return closed.size(); }
    std::lock_guard<std::mutex> Lock() { return std::lock_guard<std::mutex>(mutex); }
    std::mutex mutex;  // guards the lists
    std::vector<JConnectionInfo> accepted;
    std::vector<std::pair<JConnectionInfo, conn_close_reason>> closed;
    std::atomic<bool> refuse{false};
};

// `count` slots on a fresh path served by `threads` reading threads (none started if count < 0).
struct EchoServer {
    explicit EchoServer(int count, int threads = 1, bool serve = true) : server(new JTCPServer)
    {
        app.server = server.get();
        server->SetApp(serve ? &app : nullptr);
        server->SetConnectionEvents(&events);
        server->SetReadingThreads(threads);
        if (count >= 0)
            server->StartServer(path.c_str(), count);
    }
    std::vector<std::unique_ptr<Client>> Connected(int n)  // each answered once
    {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < n; ++i) {
            clients.push_back(std::make_unique<Client>(path));
            EXPECT_TRUE(clients.back()->Echo("hi"));
        }
        return clients;
    }
    CONN& Slot(int i) const { return *server->connections[i]; }
    fktest::TempDir dir;
    const std::string path = dir.path("srv");
    const int before = fktest::OpenDescriptorCount();
    EchoApp app;  // app and events outlive the server
    Events events;
    std::unique_ptr<JTCPServer> server;
};

// Holds /dev/null on every free descriptor below `limit`, then sets the soft limit to `after`.
struct DescriptorsTaken {
    DescriptorsTaken(rlim_t limit, rlim_t after)
    {
        rlimit bound{};
        getrlimit(RLIMIT_NOFILE, &bound);
        setrlimit(RLIMIT_NOFILE, &(bound.rlim_cur = limit, bound));
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) != -1;)
            fds.push_back(fd);
        setrlimit(RLIMIT_NOFILE, &(bound.rlim_cur = after, bound));
    }
    ~DescriptorsTaken() { for (int fd : fds) close(fd); }
    std::vector<int> fds;
};

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// Faults: a failed start leaves a table or threads; 0 slots serves; a restart keeps the old path or clients.
TEST(JTCPServer, StartServerRestarts)
{
    EchoServer s(-1);
    EXPECT_EQ(s.server->StartServer(s.dir.path("missing/srv").c_str(), 4), 0);
    EXPECT_EQ(s.server->connections, nullptr);
    EXPECT_FALSE(s.server->listen_thread.running);
    ASSERT_EQ(s.server->StartServer(s.path.c_str(), 0), 1);  // listens, serves no connection
    Client backlog(s.path);
    ASSERT_TRUE(backlog.Send("hello"));
    EXPECT_EQ(backlog.Receive(5, 400), "");
    ASSERT_EQ(s.server->StartServer(s.path.c_str(), 1), 1);
    Client old(s.path);
    ASSERT_TRUE(old.Echo("first"));
    const std::string second = s.dir.path("second");
    ASSERT_EQ(s.server->StartServer(second.c_str(), 1), 1);
    EXPECT_FALSE(fktest::PathExists(s.path));
    EXPECT_TRUE(old.Closed());
    EXPECT_EQ(s.server->StartServer(s.dir.path("other").c_str(), -1), 0);
    EXPECT_TRUE(Client(second).Echo("again"));
}

// Faults: a refused descriptor is closed or served; the adopted one is not made close-on-exec, or its path removed.
TEST(JTCPServer, StartServerOnListenerTakesOnlyALocalListener)
{
    EchoServer s(2);
    const int file = open(s.dir.path("file").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    fktest::SocketPair connected;
    JSocket ipv4;  // a listening socket of the wrong family
    ipv4.port = fktest::FreeLoopbackPort(SOCK_STREAM);
    ASSERT_EQ(ipv4.tcp_start_server(1), 1);
    JSocket local(s.dir.path("adopt").c_str(), TCP_SERVER, UDP_SEND);  // listening
    const int listener = std::exchange(local.fd, -1);
    const struct { const char* what; int fd, count; } refused[] = {{"file", file, 2},
        {"connected", connected.fds[0], 2}, {"IPv4", ipv4.fd, 2}, {"negative count", listener, -1}, {"-1", -1, 2}};
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(s.server->StartServerOnListener(r.fd, r.count), 0);
        EXPECT_EQ(IsOpen(r.fd), r.fd != -1);  // still the caller's
    }
    EXPECT_TRUE(Client(s.path).Echo("still serving"));
    ASSERT_EQ(fcntl(listener, F_SETFD, 0), 0);
    ASSERT_EQ(s.server->StartServerOnListener(listener, 2), 1);
    EXPECT_EQ(fcntl(listener, F_GETFD), FD_CLOEXEC);
    EXPECT_TRUE(Client(s.dir.path("adopt")).Echo("adopted"));
    close(file);
    s.server.reset();
    EXPECT_FALSE(IsOpen(listener));
    EXPECT_TRUE(fktest::PathExists(s.dir.path("adopt")));
}

// Faults: messages reach the app before SetApp, or none after; a server descriptor leaks into exec'd programs.
TEST(JTCPServer, MessagesBeforeSetAppAreDropped)
{
    const int inherited = fktest::InheritableDescriptorCount();
    EchoServer s(4, 1, false);
    Client client(s.path);
    ASSERT_TRUE(client.Send("early"));
    EXPECT_EQ(client.Receive(5, 400), "");
    s.server->SetApp(&s.app);
    EXPECT_TRUE(client.Echo(fktest::Pattern(3000)));
    EXPECT_GE(fktest::OpenDescriptorCount() - s.before, 6);  // listening, accepted, two wake-ups, epoll, client
    EXPECT_EQ(fktest::InheritableDescriptorCount(), inherited);
}

// Faults: a client waiting for a full table is never taken when a slot frees; high descriptor numbers go unwatched.
TEST(JTCPServer, AFreedSlotAbove1024TakesTheWaitingClient)
{
    const DescriptorsTaken taken(1100, 1200);
    EchoServer s(1);
    auto holder = std::make_unique<Client>(s.path);
    ASSERT_TRUE(holder->Echo("hold"));
    Client waiting(s.path);
    ASSERT_TRUE(waiting.Send("next"));
    EXPECT_EQ(waiting.Receive(4, 300), "");  // the table is full
    holder.reset();
    EXPECT_EQ(waiting.Receive(4), "next");
    EXPECT_GE(s.Slot(0).fd, 1100);
}

// Faults: the accepting thread spins while descriptors are exhausted, or never serves again once some return.
TEST(JTCPServer, ExhaustedDescriptorsKeepTheServerQuiet)
{
    fktest::TempDir dir;
    const std::string path = dir.path("srv");
    fktest::SocketPair link;
    const auto start = SteadyClock::now();
    const pid_t child = fork();
    if (child == 0) {  // serves with four descriptors free below 32 until the link closes
        close(link.Give());
        JTCPServer server(path.c_str(), 64);
        EchoApp app;
        app.server = &server;
        server.SetApp(&app);
        DescriptorsTaken taken(32, 32);
        bool ok = taken.fds.size() >= 4;
        for (int i = 0; ok && i < 4; ++i, taken.fds.pop_back())
            close(taken.fds.back());
        char c;
        for (ok = ok && write(link.fds[1], "r", 1) == 1; ok && read(link.fds[1], &c, 1) < 0 && errno == EINTR;) {
        }
        _exit(ok ? 0 : 2);  // the parent removes the directories
    }
    char c = 0;
    EXPECT_EQ(read(link.fds[0], &c, 1), 1) << "the child could not set up";
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 8; ++i)
        clients.push_back(std::make_unique<Client>(path)), (void)clients.back()->Send("ping");
    EXPECT_EQ(clients[3]->Receive(4), "ping");  // four descriptors: four connections
    EXPECT_EQ(clients[4]->Receive(4, 1000), "") << "served beyond the descriptor limit";
    clients.erase(clients.begin(), clients.begin() + 4);  // their descriptors come back
    EXPECT_EQ(clients[3]->Receive(4), "ping");
    close(link.Give());
    int status = -1;
    rusage usage{};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    EXPECT_EQ(status, 0);
    const double cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    EXPECT_LT(cpu_ms, 0.25 * MsSince(start)) << "child CPU ms: a busy loop";
}

// Faults: the default bound is not 1000 ms; a change misses connected clients; a negative value is taken.
TEST(JTCPServer, SendTimeoutReachesConnectedClients)
{
    EchoServer s(2);
    auto clients = s.Connected(1);
    EXPECT_EQ(fktest::SendBoundMs(s.Slot(0).fd), 1000);
    s.server->SetSendTimeout(300);
    EXPECT_TRUE(WaitUntil([&] { return fktest::SendBoundMs(s.Slot(0).fd) == 300; }));
    s.server->SetSendTimeout(-5);  // ignored
    const auto more = s.Connected(1);
    EXPECT_EQ(fktest::SendBoundMs(s.Slot(1).fd), 300);
}

// Faults: SetIdleTimeout(0) does not switch the limit off again, or a negative value is taken.
TEST(JTCPServer, IdleTimeoutZeroSwitchesTheLimitOff)
{
    EchoServer s(1);
    s.server->SetIdleTimeout(100);
    s.server->SetIdleTimeout(0);
    s.server->SetIdleTimeout(-1);  // ignored
    const auto clients = s.Connected(1);
    EXPECT_FALSE(clients[0]->Closed(600)) << "closed as idle";
}

// Fault: the bounds of the reading thread count are off by one.
TEST(JTCPServer, SetReadingThreadsTakes1To64)
{
    JTCPServer server;
    const struct { int n, taken; } rows[] = {{0, 0}, {1, 1}, {64, 1}, {65, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.n);
        EXPECT_EQ(server.SetReadingThreads(row.n), row.taken);
    }
}

// Faults: a close reported twice, never, with the wrong reason or for the wrong slot; a busy client taken
// as idle; a limit or the idle sweep that holds on one reading thread only.
TEST(JTCPServer, EachCloseIsReportedOnce)
{
    using Clients = std::vector<std::unique_ptr<Client>>;
    const auto stuff = [](EchoServer& s, Clients& clients) {
        WaitUntil([&] {  // never reads the replies
            for (auto& c : clients)
                c->Stuff();
            return s.events.Closes() == clients.size();
        });
    };
    const auto busy = [](EchoServer&, Clients& clients) {  // talks for three idle limits, then falls silent
        for (const auto start = SteadyClock::now(); MsSince(start) < 1500;)
            for (auto& c : clients)
                ASSERT_TRUE(c->Echo("busy"));
    };
    const struct {
        const char* what;
        conn_close_reason reason;
        void (*set)(JTCPServer&);
        void (*act)(EchoServer&, Clients&);
    } rows[] = {
        {"peer closed", CLOSED_BY_PEER, [](JTCPServer&) {}, [](EchoServer&, Clients& clients) { clients.clear(); }},
        {"idle", CLOSED_IDLE, [](JTCPServer& server) { server.SetIdleTimeout(500); }, busy},
        {"send limit", CLOSED_SEND_LIMIT, [](JTCPServer& server) { server.SetSendTimeout(0), server.SetSendBufferLimit(4096); }, stuff},
        {"send bound", CLOSED_SEND_TIMEOUT, [](JTCPServer& server) { server.SetSendTimeout(300), server.SetSendBufferLimit(0); }, stuff},
        {"server stop", CLOSED_SERVER_STOP, [](JTCPServer&) {}, [](EchoServer& s, Clients&) { s.server.reset(); }},
    };
    for (int threads : {1, 2}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.what) + " with " + std::to_string(threads) + " reading threads");
            EchoServer s(4, threads);
            row.set(*s.server);
            auto clients = s.Connected(2);  // with two threads: one on each
            row.act(s, clients);
            EXPECT_TRUE(WaitUntil([&] { return s.events.Closes() >= 2; }));
            s.server.reset();  // a second report would come by now
            ASSERT_EQ(s.events.closed.size(), 2u);
            for (const auto& [info, reason] : s.events.closed) {
                EXPECT_EQ(reason, row.reason);
                const auto same = [&](const JConnectionInfo& a) { return a.slot == info.slot && a.fd == info.fd; };
                EXPECT_EQ(std::count_if(s.events.accepted.begin(), s.events.accepted.end(), same), 1);
            }
        }
    }
}

// Faults: a refused connection is served or later reported closed; the accept carries no peer.
TEST(JTCPServer, OnAcceptRefuses)
{
    EchoServer s(2);
    s.events.refuse = true;
    EXPECT_TRUE(Client(s.path).Closed());
    s.server.reset();
    ASSERT_EQ(s.events.accepted.size(), 1u);
    EXPECT_TRUE(s.events.accepted[0].has_credentials);
    EXPECT_EQ(s.events.accepted[0].pid, getpid());
    EXPECT_EQ(s.events.accepted[0].uid, getuid());
    EXPECT_TRUE(s.events.closed.empty());
}

// Fault: a peer that never reads holds the reading thread in a send (for the send bound) and so stalls everyone.
TEST(JTCPServer, FloodersDoNotHoldUpOthers)
{
    EchoServer s(kFlooders + 1);
    auto good = s.Connected(1);
    std::atomic<bool> done{false};
    std::vector<std::thread> flooders;
    for (int i = 0; i < kFlooders; ++i)
        flooders.emplace_back([&] {
            for (; !done; Sleep(1))  // cut off at the send limit, it comes back
                for (Client flooder(s.path); !done && flooder.Stuff();)
                    Sleep(1);
        });
    for (const auto start = SteadyClock::now(); MsSince(start) < 2000 && !HasFailure();)
        EXPECT_TRUE(fktest::TakesMs(0, kMarginMs, [&] { EXPECT_TRUE(good[0]->Echo("round trip")); }));
    done = true;
    for (auto& t : flooders)
        t.join();
    EXPECT_GE(s.events.Closes(), static_cast<size_t>(kFlooders)) << "flooders cut off";
}

// Faults: one user's connections take every slot, or the backlog stops draining while the table is full.
// That the limit counts per user, not in all, the daemon's test shows with a second user.
TEST(JTCPServer, AUserOverItsLimitIsTurnedAwayAtOnce)
{
    for (int slots : {3, 2}) {
        SCOPED_TRACE(slots == 3 ? "a slot free" : "every slot in use");
        EchoServer s(slots);
        s.server->SetConnectionsPerUser(2);
        const auto served = s.Connected(2);
        for (int i = 0; i < 4; ++i)
            EXPECT_TRUE(Client(s.path).Closed(5000)) << "connection " << i << " over the limit";
        EXPECT_TRUE(served[1]->Echo("still served"));
    }
}

// Faults: the end of a peer's input closes its connection at once, dropping the replies still queued, also
// when no send bound (0) applies.
TEST(JTCPServer, AReplyQueuedBeforeAHalfCloseArrives)
{
    for (int bound : {1000, 0}) {
        SCOPED_TRACE("send bound " + std::to_string(bound));
        EchoServer s(1);
        s.server->SetSendBufferLimit(1 << 20);
        s.server->SetSendTimeout(bound);
        Client client(s.path);
        ASSERT_TRUE(client.Send("big"));
        ASSERT_EQ(shutdown(client.fd, SHUT_WR), 0);
        Sleep(200);  // the server reads the end while most of the reply waits in its queue
        EXPECT_EQ(client.Receive(512 * 1024), fktest::Pattern(512 * 1024));
        EXPECT_TRUE(client.Closed());
        s.server.reset();
        ASSERT_EQ(s.events.closed.size(), 1u);
        EXPECT_EQ(s.events.closed[0].second, CLOSED_BY_PEER);
    }
}

// Fault: a send the limit refuses reports 1, as if its bytes were on their way.
TEST(JTCPServer, ASendPastTheLimitGivesZero)
{
    EchoServer s(1);
    s.server->SetSendBufferLimit(1);
    const auto clients = s.Connected(1);
    std::string more_than_a_socket_holds = fktest::Pattern(1 << 20);
    EXPECT_EQ(s.server->SendMessage(&more_than_a_socket_holds[0], more_than_a_socket_holds.size(), s.Slot(0).fd), 0);
}

// Faults: an application thread's send overtakes queued bytes or splits another thread's reply.
TEST(JTCPServer, SendsFromAnotherThreadStayWhole)
{
    constexpr int kRecords = 10 * kMessages;
    EchoServer s(1);
    s.server->SetSendBufferLimit(0);
    s.server->SetSendTimeout(0);  // the client reads only once it has sent every request
    Client client(s.path);
    ASSERT_TRUE(client.Echo("hi"));
    std::thread sender([&, fd = s.Slot(0).fd.load()] {
        for (int k = 0; k < kRecords; ++k)
            EXPECT_EQ(s.server->SendMessage(const_cast<char*>(Record('A', k).data()), 1000, fd), 1);
    });
    for (int k = 0; k < kRecords; ++k)
        ASSERT_TRUE(client.Send("#"));  // each answered with an R record by the reading thread
    const std::string got = client.Receive(2000 * kRecords);
    sender.join();
    ASSERT_EQ(got.size(), 2000u * kRecords);
    std::map<char, int> next;
    for (size_t at = 0; at < got.size(); at += 1000)
        ASSERT_EQ(got.substr(at, 1000), Record(got[at], next[got[at]]++)) << "at byte " << at;
    EXPECT_EQ(next['A'], kRecords);
    EXPECT_EQ(next['R'], kRecords);
}

// Faults: with several reading threads a connection is read by two of them (out of order, or handled
// concurrently), or only one thread serves.
TEST(JTCPServer, ReadingThreadsKeepEachConnectionInOrder)
{
    EchoServer s(16, 4);
    std::vector<std::shared_ptr<Client>> clients;
    for (int c = 0; c < 16; ++c)
        clients.push_back(std::make_shared<Client>(s.path));
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int c = 0; c < 16; ++c) {
        threads.emplace_back([&, c, client = clients[c]] {
            std::string stream;
            for (int k = 0; k < kMessages; ++k) {
                stream += "<" + std::to_string(c) + ":" + std::to_string(k) + ">";
                wrong += !client->Send(stream.substr(stream.rfind('<')));
            }
            wrong += client->Receive(stream.size()) != stream;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong, 0) << "clients that failed to send or got their echo out of order";
    EXPECT_EQ(s.app.Get(&EchoApp::overlaps), 0) << "messages of one connection handled concurrently";
    EXPECT_EQ(s.app.Get(&EchoApp::threads).size(), 4u);
}

// Faults: stopping waits for ever on a busy worker, or leaks the descriptors of connections busy in OnMessage.
TEST(JTCPServer, StopWithBusyReadersIsBounded)
{
    EchoServer s(4, 4);
    auto clients = s.Connected(4);  // one on each reading thread
    for (auto& c : clients)
        ASSERT_TRUE(c->Send("slow"));
    ASSERT_TRUE(WaitUntil([&] { return s.app.sleeping == 4; }));
    EXPECT_TRUE(fktest::TakesMs(0, kSlowMs + kStopPauseMs + kMarginMs, [&] { s.server.reset(); }));
    for (auto& c : clients)
        EXPECT_EQ(c->Receive(4), "slow");  // the busy handlers' replies
    clients.clear();
    EXPECT_EQ(fktest::OpenDescriptorCount(), s.before);
    EXPECT_FALSE(fktest::PathExists(s.path));
}

// Faults: StartThread leaves the old reading thread beside the new one or forgets connected clients; a failed
// pthread_create is reported as started, or still counted so that stopping never returns.
TEST(JTCPServer, StartThreadReplacesTheWorkers)
{
    EchoServer s(2);
    auto clients = s.Connected(1);
    EXPECT_EQ(s.server->StartThread(), 0);
    EXPECT_TRUE(clients[0]->Echo("still served"));
    EXPECT_TRUE(pthread_equal(s.app.thread, s.server->listen_thread.id));
    ASSERT_EQ(pthread_attr_setstacksize(&s.server->listen_thread.attr, SIZE_MAX - 0xFFFF), 0);  // no room for it
    EXPECT_NE(s.server->StartThread(), 0);
    EXPECT_FALSE(s.server->listen_thread.running);
    EXPECT_TRUE(fktest::TakesMs(0, kStopPauseMs + kMarginMs, [&] { s.server.reset(); }));
}

// Faults: check_fds_read's count wraps past 255 (256 ready slots read as 0); a signal ends its wait early
// although retry asks for the whole time-out.
TEST(JTCPServer, CheckFdsReadCapsAt255)
{
    EchoServer s(256);
    s.server->StopThread();
    {
        const fktest::SignalStorm storm;  // whole milliseconds, rounded: the wait may end half a millisecond early
        EXPECT_TRUE(fktest::TakesMs(249, 250 + kMarginMs, [&] { EXPECT_EQ(s.server->check_fds_read(250, 1), 0); }));
    }
    std::vector<fktest::SocketPair> pairs(256);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(write(pairs[i].fds[1], "x", 1), 1);
        s.Slot(i).fd = pairs[i].Give();
    }
    EXPECT_EQ(s.server->check_fds_read(kReplyMs, 0), 255);
}

}  // namespace
