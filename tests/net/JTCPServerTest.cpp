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
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr unsigned short kReplyMs = 30000;  // generous bound for anything that should come at once
constexpr unsigned short kSilenceMs = 400;  // how long "nothing happens" is watched
constexpr int kSendBoundMs = 300;           // the send time-out the flood tests set
constexpr int kStopPauseMs = 150;
#ifdef FIELDKIT_EMULATED  // qemu-ppc: the same checks on fewer connections, wider margins
constexpr int kSoakCycles = 20;  // per client
constexpr int kFloodClients = 50;
constexpr double kMarginMs = 3000;
#else
constexpr int kSoakCycles = 64;
constexpr int kFloodClients = 200;
constexpr double kMarginMs = 1500;
#endif
constexpr double kPromptMs = 40;  // "at once": well below one 100 ms pass of a worker

double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

template <typename Pred>
bool WaitUntil(Pred done, int limit_ms = kReplyMs)
{
    for (int waited = 0; waited < limit_ms && !done(); waited += 2)
        Sleep(2);
    return done();
}

double Median(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
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
    // Sends without ever reading until the server hangs up; false when it has
    // not within `limit_ms`.
    bool FloodUntilHungUp(int limit_ms)
    {
        const std::string chunk(65536, 'f');
        const auto start = std::chrono::steady_clock::now();
        while (MsSince(start) < limit_ms) {
            if (send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return true;  // EPIPE / ECONNRESET: the other end is gone
            Sleep(1);
        }
        return false;
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

// A server with `count` slots on a fresh path (not started for a negative
// count), answered by an EchoApp unless `serve` is false; `before` is the
// descriptor count from before it.
struct EchoServer {
    explicit EchoServer(int count, bool serve = true) : server(new JTCPServer(path.c_str(), count))
    {
        app.server = server.get();
        server->SetApp(serve ? &app : nullptr);
    }
    // Connects `n` clients one after the other, each answered once: slots 0..n-1.
    std::vector<std::unique_ptr<Client>> Connected(int n)
    {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < n; ++i) {
            clients.push_back(std::make_unique<Client>(path));
            EXPECT_TRUE(clients.back()->Echo("hello " + std::to_string(i)));
        }
        return clients;
    }
    fktest::TempDir dir;
    const std::string path = dir.path("srv");
    const int before = fktest::OpenDescriptorCount();
    EchoApp app;  // outlives the server
    std::unique_ptr<JTCPServer> server;
};

// A connected pair of local stream sockets, closed with the object unless handed on.
struct SocketPair {
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
    ~SocketPair() { for (int fd : fds) if (fd != -1) close(fd); }
    int Give() { return std::exchange(fds[0], -1); }  // our end, for a slot that closes it
    int fds[2] = {-1, -1};
};

// ---- starting, restarting and refusing ------------------------------------

TEST(JTCPServer, StartServerRefusesAnUnbindablePathWithoutATableOrThreads)
{
    EchoServer s(-1);
    EXPECT_EQ(s.server->StartServer(s.dir.path("missing/srv").c_str(), 4), 0);
    EXPECT_EQ(s.server->connections, nullptr);
    EXPECT_EQ(s.server->connection_count, 0);
    EXPECT_FALSE(s.server->listen_thread.running);
}

TEST(JTCPServer, StartServerRefusesANegativeCountAndKeepsServing)
{
    EchoServer s(1);
    EXPECT_EQ(s.server->StartServer(s.dir.path("other").c_str(), -1), 0);
    EXPECT_TRUE(Client(s.path).Echo("still here"));
}

TEST(JTCPServer, ZeroSlotsListenButServeNoConnection)
{
    EchoServer s(0);
    EXPECT_TRUE(fktest::PathExists(s.path));
    Client waiting(s.path);  // stays in the backlog
    ASSERT_TRUE(waiting.Send("hello"));
    EXPECT_EQ(waiting.Receive(5, kSilenceMs), "");
}

TEST(JTCPServer, RestartOnAnotherPathClosesTheOldClientsAndPathAndServesTheNew)
{
    EchoServer s(1);
    Client old(s.path);
    ASSERT_TRUE(old.Echo("first"));
    const std::string second = s.dir.path("second");
    ASSERT_EQ(s.server->StartServer(second.c_str(), 1), 1);
    EXPECT_FALSE(fktest::PathExists(s.path));
    EXPECT_TRUE(old.Closed());
    EXPECT_TRUE(Client(second).Echo("again"));
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
    SocketPair connected;
    JSocket ipv4;  // a listening socket of the wrong family
    ipv4.port = fktest::FreeLoopbackPort(SOCK_STREAM);
    ASSERT_EQ(ipv4.tcp_start_server(1), 1);
    const int listener = ListenAt(s.dir.path("adopt"));
    const struct {
        const char* what;
        int fd;
        int count;
    } refused[] = {{"file", file, 2},   {"datagram socket", datagram, 2}, {"connected socket", connected.fds[0], 2},
                   {"-1", -1, 2},       {"IPv4 listener", ipv4.fd, 2},    {"negative count", listener, -1}};
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(s.server->StartServerOnListener(r.fd, r.count), 0);
        EXPECT_TRUE(r.fd == -1 || IsOpen(r.fd));  // still the caller's
    }
    EXPECT_TRUE(Client(s.path).Echo("still serving"));
    for (int fd : {file, datagram, listener})
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

TEST(JTCPServer, StopThreadWithoutWorkersReturnsAtOnce)
{
    JTCPServer idle;
    EXPECT_TRUE(fktest::TakesMs(0, 100, [&] { idle.StopThread(); }));
}

TEST(JTCPServer, StopThreadWithWorkersPausesAtLeast150Ms)
{
    EchoServer s(1);
    EXPECT_TRUE(fktest::TakesMs(kStopPauseMs, kStopPauseMs + kMarginMs, [&] { s.server->StopThread(); }));
}

// ---- delivery ---------------------------------------------------------------

TEST(JTCPServer, MessagesBeforeSetAppAreReadAndDropped)
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
    EXPECT_TRUE(client.Echo("ping"));
    EXPECT_EQ(s.app.Messages(), std::vector<std::string>{"ping"});
}

TEST(JTCPServer, RepliesGoToTheSenderFromTheReadingThreadIn2048BytePieces)
{
    EchoServer s(4);
    Client client(s.path);
    const std::string big = fktest::Pattern(3000);
    EXPECT_TRUE(client.Echo(big));
    EXPECT_EQ(s.app.Messages(), (std::vector<std::string>{big.substr(0, 2048), big.substr(2048)}));
    EXPECT_TRUE(pthread_equal(s.app.thread, s.server->listen_thread.id));
}

TEST(JTCPServer, SlotsReadyInOnePassAreServedInSlotOrder)
{
    EchoServer s(3);
    auto clients = s.Connected(3);
    ASSERT_TRUE(clients[0]->Send("slow"));  // holds the reading thread for 400 ms
    ASSERT_TRUE(WaitUntil([&] { return s.app.slow_phase == 1; }));
    ASSERT_TRUE(clients[2]->Send("third"));  // readable first
    ASSERT_TRUE(clients[1]->Send("second"));
    EXPECT_EQ(clients[2]->Receive(5), "third");
    const std::vector<std::string> got = s.app.Messages();
    EXPECT_EQ(std::vector<std::string>(got.begin() + 3, got.end()),
              (std::vector<std::string>{"slow", "second", "third"}));
}

TEST(JTCPServer, AFreshConnectionIsAnsweredWellWithinOnePass)
{
    EchoServer s(2);
    std::vector<double> ms;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(Client(s.path).Echo("first"));
        ms.push_back(MsSince(start));
    }
    EXPECT_LT(Median(ms), kPromptMs) << "median ms of a connect and its first round trip";
}

// ---- the slot table -----------------------------------------------------------

TEST(JTCPServer, FullTableKeepsTheNextClientInTheBacklogUntilOneCloses)
{
    const LowDescriptorsTaken taken(1100);  // slots past FD_SETSIZE
    EchoServer s(2);
    auto clients = s.Connected(2);
    Client third(s.path);
    ASSERT_TRUE(third.Send("three"));
    EXPECT_EQ(third.Receive(5, kSilenceMs), "");
    clients[0].reset();  // frees slot 0 without a message
    EXPECT_EQ(third.Receive(5), "three");
    EXPECT_GE(s.server->connections[0]->fd, 1100);
}

TEST(JTCPServer, AWaitingClientIsAcceptedAtOnceWhenASlotFrees)
{
    EchoServer s(1);
    std::vector<double> ms;
    for (int i = 0; i < 5; ++i) {
        auto holder = std::make_unique<Client>(s.path);
        ASSERT_TRUE(holder->Echo("hold"));
        Client waiting(s.path);
        ASSERT_TRUE(waiting.Send("next"));
        Sleep(150);  // the accepting thread has found the table full by now
        const auto start = std::chrono::steady_clock::now();
        holder.reset();
        EXPECT_EQ(waiting.Receive(4), "next");
        ms.push_back(MsSince(start));
    }
    EXPECT_LT(Median(ms), kPromptMs) << "median ms from a slot freeing to the waiting client's reply";
}

// Time in ms for `clients` clients at once, each connecting, doing one round
// trip and closing, on a server with `slots` slots.
double FloodMs(int slots, int clients)
{
    EchoServer s(slots);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] { failures += !Client(s.path).Echo("flood"); });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures, 0) << "on " << slots << " slots";
    return MsSince(start);
}

TEST(JTCPServer, AFloodOnFewSlotsTakesASmallMultipleOfTheSameOnAmpleSlots)
{
    const double ample = FloodMs(256, kFloodClients);
    const double few = FloodMs(4, kFloodClients);
    EXPECT_LT(few, 4 * ample + 250) << kFloodClients << " clients: " << few << " ms on 4 slots, " << ample
                                    << " ms on 256";
}

TEST(JTCPServer, IdleLimitFreesASilentClientsSlotForAWaitingOne)
{
    constexpr int kIdleMs = 300;
    EchoServer s(1);
    s.server->SetIdleTimeout(kIdleMs);
    const auto start = std::chrono::steady_clock::now();
    Client silent(s.path);
    Client waiting(s.path);
    ASSERT_TRUE(waiting.Send("waiting"));
    EXPECT_EQ(waiting.Receive(7), "waiting");
    const double ms = MsSince(start);
    EXPECT_GE(ms, kIdleMs) << "ms until the waiting client was served";
    EXPECT_LT(ms, kIdleMs + 100 + kMarginMs) << "ms until the waiting client was served";
    EXPECT_TRUE(silent.Closed());
}

// ---- descriptors ------------------------------------------------------------

// The process's descriptors by number, each with what it refers to.
std::map<int, std::string> OpenDescriptors()
{
    std::map<int, std::string> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        fds[std::stoi(entry.path().filename().string())] = std::filesystem::read_symlink(entry.path(), error);
    }
    return fds;
}

TEST(JTCPServer, AForkedAndExecdHelperHoldsNoneOfTheServersDescriptors)
{
    const std::map<int, std::string> before = OpenDescriptors();
    EchoServer s(2);
    Client client(s.path);
    ASSERT_TRUE(client.Echo("hello"));  // accepted and watched
    std::vector<int> ours;
    std::string listing;
    for (const auto& [fd, target] : OpenDescriptors()) {
        if (before.count(fd) == 0 || before.at(fd) != target) {
            ours.push_back(fd);
            listing += std::to_string(fd) + " " + target + "\n";
        }
    }
    SCOPED_TRACE(listing);
    EXPECT_GE(ours.size(), 6u);  // listening, accepted, two wake-ups, epoll, the client
    EXPECT_EQ(fktest::HeldAfterExec(ours), "");
}

// In a child process: serves `path` on `slots` slots under a descriptor limit
// of 32 with all but four descriptors below it taken, reports on `ready`, and
// exits once `quit` is closed. Exit status 0, or 2 when the set-up failed.
[[noreturn]] void ServeExhausted(const std::string& path, int slots, int ready, int quit)
{
    JTCPServer server(path.c_str(), slots);
    EchoApp app;
    app.server = &server;
    server.SetApp(&app);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = 32;
    bool ok = setrlimit(RLIMIT_NOFILE, &limit) == 0;
    std::vector<int> taken;
    for (int fd; ok && (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) != -1;)
        taken.push_back(fd);
    ok = ok && taken.size() >= 4;
    for (int i = 0; ok && i < 4; ++i) {
        close(taken.back());
        taken.pop_back();
    }
    ok = ok && write(ready, "r", 1) == 1;
    char c;
    while (ok && read(quit, &c, 1) < 0 && errno == EINTR) {
    }
    _exit(ok ? 0 : 2);  // the parent removes the path with its directory
}

// CPU time, user and system, in ms.
double CpuMs(const rusage& usage)
{
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

TEST(JTCPServer, ExhaustedDescriptorsKeepTheServerQuietAndItServesAgainOnceSomeReturn)
{
    constexpr int kSlots = 64;  // above the child's descriptor limit
    fktest::TempDir dir;
    const std::string path = dir.path("srv");
    int ready[2];
    int quit[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(quit, O_CLOEXEC), 0);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        close(quit[1]);
        ServeExhausted(path, kSlots, ready[1], quit[0]);
    }
    close(ready[1]);
    close(quit[0]);
    char c = 0;
    EXPECT_EQ(read(ready[0], &c, 1), 1) << "the child could not set up";
    close(ready[0]);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<Client>(path));
        clients.back()->Send("ping");
    }
    EXPECT_EQ(clients[3]->Receive(4), "ping");  // four descriptors: four connections
    EXPECT_EQ(clients[4]->Receive(4, 1000), "") << "served beyond the descriptor limit";
    clients.erase(clients.begin(), clients.begin() + 4);  // their descriptors come back
    EXPECT_EQ(clients[3]->Receive(4), "ping");
    close(quit[1]);
    int status = -1;
    rusage usage{};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    const double wall_ms = MsSince(start);
    EXPECT_EQ(status, 0);
    EXPECT_LT(CpuMs(usage), 0.25 * wall_ms) << "child CPU ms in " << wall_ms << " ms";
}

// ---- sends that cannot complete --------------------------------------------

TEST(JTCPServer, AClientThatNeverReadsIsCutOffWhileAnotherStaysServedWithinTheSendBound)
{
    EchoServer s(2);
    s.server->SetSendTimeout(kSendBoundMs);
    auto clients = s.Connected(2);
    std::atomic<bool> done{false};
    std::atomic<bool> lost{false};
    double worst = 0;
    std::thread other([&] {
        while (!done && !lost) {
            const auto start = std::chrono::steady_clock::now();
            lost = !clients[1]->Echo("round trip");
            worst = std::max(worst, MsSince(start));
        }
    });
    EXPECT_TRUE(clients[0]->FloodUntilHungUp(kReplyMs)) << "the flooding client's connection did not end";
    Sleep(kSendBoundMs);  // round trips after the cut count too
    done = true;
    other.join();
    EXPECT_FALSE(lost);
    EXPECT_LT(worst, kSendBoundMs + kMarginMs) << "worst round trip in ms beside the flood";
}

TEST(JTCPServer, DestroyingTheServerWhileAClientNeverReadsIsBoundedByTheSendBound)
{
    EchoServer s(2);
    s.server->SetSendTimeout(kSendBoundMs);
    auto clients = s.Connected(1);
    const std::string chunk(65536, 'f');
    while (send(clients[0]->fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    }  // both directions full: the reading thread is stuck in a send now or soon
    std::atomic<bool> gone{false};
    const auto start = std::chrono::steady_clock::now();
    std::thread destroyer([&] {
        s.server.reset();
        gone = true;
    });
    const bool bounded = WaitUntil([&] { return gone.load(); }, kSendBoundMs + kStopPauseMs + kMarginMs);
    const double ms = MsSince(start);
    clients[0]->ResetSocket();  // releases a send that no bound ends
    destroyer.join();
    EXPECT_TRUE(bounded) << "destruction still running after " << ms << " ms";
    EXPECT_GE(ms, kStopPauseMs);
}

// The send time-out of a server-side connection, in ms.
int SendTimeoutMs(int fd)
{
    timeval bound{};
    socklen_t size = sizeof bound;
    getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, &size);
    return static_cast<int>(bound.tv_sec * 1000 + bound.tv_usec / 1000);
}

TEST(JTCPServer, SendTimeoutIsOneSecondUntilChangedAndReachesConnectedClients)
{
    EchoServer s(2);
    auto clients = s.Connected(1);
    EXPECT_EQ(SendTimeoutMs(s.server->connections[0]->fd), 1000);
    s.server->SetSendTimeout(kSendBoundMs);
    EXPECT_TRUE(WaitUntil([&] { return SendTimeoutMs(s.server->connections[0]->fd) == kSendBoundMs; }));
    s.server->SetSendTimeout(-5);  // ignored
    const auto more = s.Connected(1);
    EXPECT_EQ(SendTimeoutMs(s.server->connections[1]->fd), kSendBoundMs);
}

TEST(JTCPServer, SendTimeoutZeroLetsASlowReaderReceiveEverything)
{
    EchoServer s(1);
    s.server->SetSendTimeout(kSendBoundMs);
    s.server->SetSendTimeout(0);
    Client slow(s.path);
    const std::string big = fktest::Pattern(1 << 20);
    std::thread sender([&] { EXPECT_TRUE(slow.Send(big)); });
    Sleep(2 * kSendBoundMs);  // longer than the bound that was lifted
    EXPECT_EQ(slow.Receive(big.size()), big);
    sender.join();
}

// ---- check_fds_read on a stopped server --------------------------------------

TEST(JTCPServer, CheckFdsReadMarksExactlyTheReadableSlotsAndTakesUpDescriptorsWrittenBetweenPasses)
{
    EchoServer s(3);
    s.server->StopThread();
    SocketPair first, second, third;
    s.server->connections[0]->fd = first.Give();
    s.server->connections[2]->fd = third.Give();
    s.server->connections[1]->ready = true;  // cleared by the next check
    ASSERT_EQ(write(first.fds[1], "x", 1), 1);
    ASSERT_EQ(write(third.fds[1], "y", 1), 1);
    EXPECT_EQ(s.server->check_fds_read(kReplyMs, 0), 2);
    EXPECT_TRUE(s.server->connections[0]->ready);
    EXPECT_FALSE(s.server->connections[1]->ready);
    EXPECT_TRUE(s.server->connections[2]->ready);
    s.server->connections[1]->fd = second.Give();
    ASSERT_EQ(write(second.fds[1], "z", 1), 1);
    EXPECT_EQ(s.server->check_fds_read(kReplyMs, 0), 3);  // the unread bytes keep the others ready
    EXPECT_TRUE(s.server->connections[1]->ready);
}

TEST(JTCPServer, CheckFdsReadWithNothingReadableWaitsItsTimeOutThroughSignals)
{
    EchoServer s(2);
    s.server->StopThread();
    const fktest::SignalStorm storm;
    // The clock counts whole milliseconds, rounded: the wait may end half a millisecond early.
    EXPECT_TRUE(fktest::TakesMs(249, 250 + kMarginMs, [&] { EXPECT_EQ(s.server->check_fds_read(250, 1), 0); }));
}

// ---- under load -------------------------------------------------------------

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
            for (int i = 0; i < kSoakCycles && failures == 0; ++i)
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
