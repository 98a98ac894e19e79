// SPDX-License-Identifier: MIT
#include <fieldkit/core/Clock.h>
#include <fieldkit/net/JTCPServer.h>

#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <utility>

namespace {

constexpr unsigned short kReplyMs = 30000;  // bound for anything that should come at once
constexpr int kSendBoundMs = 300, kStopPauseMs = 150;
constexpr double kPromptMs = 40;  // "at once": well below one 100 ms pass of a worker
#ifdef FIELDKIT_EMULATED          // qemu-ppc: fewer connections, wider margins
constexpr int kFloodClients = 50;
constexpr double kMarginMs = 3000;
#else
constexpr int kFloodClients = 200;
constexpr double kMarginMs = 1500;
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

// The median of five runs of `run`, each returning the ms it measured.
template <typename Run>
double MedianOfFive(Run run)
{
    std::vector<double> ms{run(), run(), run(), run(), run()};
    std::nth_element(ms.begin(), ms.begin() + 2, ms.end());
    return ms[2];
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
        for (int k = 1; got.size() < n && k > 0;) {
            k = ReceiveMessage(buf, std::min(sizeof buf, n - got.size()), wait_ms, -1);
            got.append(buf, static_cast<size_t>(std::max(k, 0)));
        }
        return got;
    }
    bool Closed()  // the peer ended the connection (nothing left unread)
    {
        char c;
        return check_read(kReplyMs, -1, 1) > 0 && recv(fd, &c, 1, 0) <= 0;
    }
    ssize_t Stuff() { return send(fd, std::string(65536, 'f').data(), 65536, MSG_DONTWAIT | MSG_NOSIGNAL); }
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

// Echoes every message and records it; "slow" is answered after 400 ms.
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
        { std::lock_guard<std::mutex> lock(mutex); messages.push_back(bytes); }
        server->SendMessage(m);  // after a slow sleep: while the server is stopping
        slow_phase += slow;
        return 0;
    }
    std::vector<std::string> Messages() { std::lock_guard<std::mutex> lock(mutex); return messages; }

    JTCPServer* server = nullptr;
    std::mutex mutex;  // guards messages
    std::vector<std::string> messages;
    std::atomic<pthread_t> thread{};
    std::atomic<size_t> total{0};    // word-sized: lock-free on 32-bit targets too
    std::atomic<int> slow_phase{0};  // 1 while "slow" sleeps, 2 once it was answered
};

// `count` slots on a fresh path (none started if negative), echoing unless !serve.
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
            EXPECT_TRUE(clients.back()->Echo("hi"));
        }
        return clients;
    }
    CONN& Slot(int i) const { return *server->connections[i]; }
    fktest::TempDir dir;
    const std::string path = dir.path("srv");
    const int before = fktest::OpenDescriptorCount();
    EchoApp app;  // outlives the server
    std::unique_ptr<JTCPServer> server;
};

struct SocketPair {  // closes both ends unless one is given away
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
    ~SocketPair() { for (int fd : fds) if (fd != -1) close(fd); }
    int Give() { return std::exchange(fds[0], -1); }
    int fds[2] = {-1, -1};
};

int ListenAt(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd, 4), 0);
    return fd;
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(JTCPServer, StartServerRefusesCleanlyServesZeroSlotsRestartsAndStopPausesOnlyWithWorkers)
{
    EchoServer s(-1);
    EXPECT_TRUE(fktest::TakesMs(0, 100, [&] { s.server->StopThread(); }));
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
    EXPECT_TRUE(fktest::TakesMs(kStopPauseMs, kStopPauseMs + kMarginMs, [&] { s.server->StopThread(); }));
}

TEST(JTCPServer, StartServerOnListenerRefusesAnythingButALocalListenerAndOwnsTheOneItServes)
{
    EchoServer s(2);
    const int file = open(s.dir.path("file").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    const int datagram = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    SocketPair connected;
    JSocket ipv4;  // a listening socket of the wrong family
    ipv4.port = fktest::FreeLoopbackPort(SOCK_STREAM);
    ASSERT_EQ(ipv4.tcp_start_server(1), 1);
    const std::string path = s.dir.path("adopt");
    const int listener = ListenAt(path);
    const struct { const char* what; int fd, count; } refused[] = {{"file", file, 2}, {"datagram", datagram, 2},
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
    EXPECT_TRUE(Client(path).Echo("adopted"));
    close(file);
    close(datagram);
    s.server.reset();
    EXPECT_FALSE(IsOpen(listener));
    EXPECT_TRUE(fktest::PathExists(path));
}

TEST(JTCPServer, MessagesBeforeSetAppAreDroppedLaterOnesAnsweredAtOnceFromTheReadingThreadIn2048BytePieces)
{
    EchoServer s(4, false);
    Client client(s.path);
    ASSERT_TRUE(client.Send("early"));
    ASSERT_TRUE(WaitUntil([&] {  // wait until the server read it
        int queued = -1;
        return ioctl(s.Slot(0).fd, FIONREAD, &queued) == 0 && queued == 0;
    }));
    Sleep(100);  // past the delivery that follows the read
    s.server->SetApp(&s.app);
    EXPECT_TRUE(client.Echo("ping"));
    const std::string big = fktest::Pattern(3000);
    EXPECT_TRUE(Client(s.path).Echo(big));
    EXPECT_EQ(s.app.Messages(), (std::vector<std::string>{"ping", big.substr(0, 2048), big.substr(2048)}));
    EXPECT_TRUE(pthread_equal(s.app.thread, s.server->listen_thread.id));
    const auto connect_and_echo = [&, start = SteadyClock::now()]() mutable {
        start = SteadyClock::now();
        EXPECT_TRUE(Client(s.path).Echo("first"));
        return MsSince(start);
    };
    EXPECT_LT(MedianOfFive(connect_and_echo), kPromptMs) << "median ms of a connect and its first round trip";
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
    EXPECT_EQ(std::vector<std::string>(got.begin() + 3, got.end()), (std::vector<std::string>{"slow", "second", "third"}));
}

TEST(JTCPServer, AFullTableKeepsTheNextClientWaitingAndAcceptsItAtOnceWhenASlotFrees)
{
    const DescriptorsTaken taken(1100, 1200);  // slots past FD_SETSIZE
    EchoServer s(1);
    EXPECT_LT(MedianOfFive([&] {
                  auto holder = std::make_unique<Client>(s.path);
                  EXPECT_TRUE(holder->Echo("hold"));
                  Client waiting(s.path);
                  EXPECT_TRUE(waiting.Send("next"));
                  EXPECT_EQ(waiting.Receive(4, 150), "");  // the accepting thread finds the table full
                  const auto start = SteadyClock::now();
                  holder.reset();  // frees the slot without a message
                  EXPECT_EQ(waiting.Receive(4), "next");
                  EXPECT_GE(s.Slot(0).fd, 1100);
                  return MsSince(start);
              }),
              kPromptMs)
        << "median ms from a slot freeing to the waiting client's reply";
}

// `clients` clients at once on `slots` slots sending 1..6000 random bytes in random pieces, checking
// the echo or leaving early; checks every byte arrived and all was released. Returns the ms.
double FloodMs(int slots, int clients)
{
    EchoServer s(slots);
    std::atomic<size_t> sent{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    const auto start = SteadyClock::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::mt19937 rng(1234u + c);
            Client client(s.path);
            failures += !client.connected;
            const unsigned kind = rng() % 16;
            std::string payload(1 + rng() % 6000, '\0');
            std::generate(payload.begin(), payload.end(), [&] { return static_cast<char>(rng()); });
            for (size_t done = 0, piece = 0; kind != 0 && done < payload.size(); done += piece) {
                piece = rng() % 3 == 0 ? payload.size() - done : 1 + rng() % (payload.size() - done);
                failures += !client.Send(payload.substr(done, piece));
            }
            sent += kind == 0 ? 0 : payload.size();
            failures += kind > 2 && client.Receive(payload.size()) != payload;
        });
    }
    for (auto& t : threads)
        t.join();
    const double ms = MsSince(start);
    EXPECT_EQ(failures, 0) << "on " << slots << " slots";
    EXPECT_TRUE(WaitUntil([&] { return s.app.total == sent; }));  // also of clients that left early
    s.server.reset();
    EXPECT_FALSE(fktest::PathExists(s.path));
    EXPECT_EQ(fktest::OpenDescriptorCount(), s.before);
    return ms;
}

TEST(JTCPServer, AFloodOnFewSlotsKeepsEveryByteAndTakesASmallMultipleOfTheSameOnAmpleSlots)
{
    const double ample = FloodMs(256, kFloodClients), few = FloodMs(4, kFloodClients);
    EXPECT_LT(few, 4 * ample + 250) << kFloodClients << " clients: " << few << " ms on 4 slots, " << ample << " on 256";
}

TEST(JTCPServer, IdleLimitFreesASilentClientsSlotForAWaitingOne)
{
    constexpr int kIdleMs = 300;
    EchoServer s(1);
    s.server->SetIdleTimeout(kIdleMs);
    const auto start = SteadyClock::now();
    Client silent(s.path);
    Client waiting(s.path);
    ASSERT_TRUE(waiting.Send("waiting"));
    EXPECT_EQ(waiting.Receive(7), "waiting");
    const double ms = MsSince(start);
    EXPECT_GE(ms, kIdleMs) << "ms until the waiting client was served";
    EXPECT_LT(ms, kIdleMs + 100 + kMarginMs) << "ms until the waiting client was served";
    EXPECT_TRUE(silent.Closed());
}

std::set<int> OpenDescriptors()
{
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        fds.insert(std::stoi(entry.path().filename().string()));
    return fds;
}

TEST(JTCPServer, AForkedAndExecdHelperHoldsNoneOfTheServersDescriptors)
{
    const std::set<int> before = OpenDescriptors();
    EchoServer s(2);
    Client client(s.path);
    ASSERT_TRUE(client.Echo("hello"));  // accepted and watched
    std::vector<int> ours;
    for (int fd : OpenDescriptors())
        if (before.count(fd) == 0)
            ours.push_back(fd);
    EXPECT_GE(ours.size(), 6u);  // listening, accepted, two wake-ups, epoll, the client
    EXPECT_EQ(fktest::HeldAfterExec(ours), "");
}

// Child: serves `path` on 64 slots with four descriptors free below 32, writes to `link`, exits
// (0, or 2 if the set-up failed) once the other end closes.
[[noreturn]] void ServeExhausted(const std::string& path, int link)
{
    JTCPServer server(path.c_str(), 64);
    EchoApp app;
    app.server = &server;
    server.SetApp(&app);
    DescriptorsTaken taken(32, 32);
    bool ok = taken.fds.size() >= 4;
    for (int i = 0; ok && i < 4; ++i, taken.fds.pop_back())
        close(taken.fds.back());
    char c;
    for (ok = ok && write(link, "r", 1) == 1; ok && read(link, &c, 1) < 0 && errno == EINTR;) {
    }
    _exit(ok ? 0 : 2);  // the parent removes the directories
}

TEST(JTCPServer, ExhaustedDescriptorsKeepTheServerQuietAndItServesAgainOnceSomeReturn)
{
    fktest::TempDir dir;
    const std::string path = dir.path("srv");
    SocketPair link;
    const auto start = SteadyClock::now();
    const pid_t child = fork();
    if (child == 0) {
        close(link.Give());
        ServeExhausted(path, link.fds[1]);
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
    const double wall_ms = MsSince(start);
    EXPECT_EQ(status, 0);
    const double cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                          (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    EXPECT_LT(cpu_ms, 0.25 * wall_ms) << "child CPU ms in " << wall_ms << " ms";
}

TEST(JTCPServer, AClientThatNeverReadsIsCutOffWhileAnotherStaysServedWithinTheSendBound)
{
    EchoServer s(2);
    s.server->SetSendTimeout(kSendBoundMs);
    auto clients = s.Connected(2);
    std::atomic<bool> done{false}, lost{false};
    double worst = 0;
    std::thread other([&] {
        for (auto start = SteadyClock::now(); !done && !lost; start = SteadyClock::now()) {
            lost = !clients[1]->Echo("round trip");
            worst = std::max(worst, MsSince(start));
        }
    });
    int error = 0;  // EAGAIN while the queue is merely full
    WaitUntil([&] { return (error = clients[0]->Stuff() < 0 ? errno : EAGAIN) != EAGAIN; });
    EXPECT_NE(error, EAGAIN) << "never cut off";
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
    for (auto calm = SteadyClock::now(); MsSince(calm) < 200; Sleep(5))  // until the server stops reading:
        if (clients[0]->Stuff() > 0)                                        // both directions full, its
            calm = SteadyClock::now();                                      // reading thread stuck in a send
    std::atomic<bool> gone{false};
    const auto start = SteadyClock::now();
    std::thread destroyer([&] { s.server.reset(), gone = true; });
    const bool bounded = WaitUntil([&] { return gone.load(); }, kSendBoundMs + kStopPauseMs + kMarginMs);
    const double ms = MsSince(start);
    clients[0]->ResetSocket();  // releases a send that no bound ends
    destroyer.join();
    EXPECT_TRUE(bounded) << "destruction still running after " << ms << " ms";
    EXPECT_GE(ms, kStopPauseMs);
}

int SendTimeoutMs(int fd)
{
    timeval bound{};
    socklen_t size = sizeof bound;
    getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, &size);
    return static_cast<int>(bound.tv_sec * 1000 + bound.tv_usec / 1000);
}

TEST(JTCPServer, SendTimeoutIsOneSecondUntilChangedReachesConnectedClientsAndZeroLiftsIt)
{
    EchoServer s(3);
    auto clients = s.Connected(1);
    EXPECT_EQ(SendTimeoutMs(s.Slot(0).fd), 1000);
    s.server->SetSendTimeout(kSendBoundMs);
    EXPECT_TRUE(WaitUntil([&] { return SendTimeoutMs(s.Slot(0).fd) == kSendBoundMs; }));
    s.server->SetSendTimeout(-5);  // ignored
    const auto more = s.Connected(1);
    EXPECT_EQ(SendTimeoutMs(s.Slot(1).fd), kSendBoundMs);
    s.server->SetSendTimeout(0);
    Client slow(s.path);
    const std::string big = fktest::Pattern(1 << 20);
    std::thread sender([&] { EXPECT_TRUE(slow.Send(big)); });
    Sleep(2 * kSendBoundMs);  // longer than the bound that was lifted
    EXPECT_EQ(slow.Receive(big.size()), big);
    sender.join();
}

TEST(JTCPServer, CheckFdsReadMarksExactlyTheReadableSlotsTakesUpNewDescriptorsAndWaitsThroughSignals)
{
    EchoServer s(3);
    s.server->StopThread();
    SocketPair first, second, third;
    s.Slot(0).fd = first.Give();
    s.Slot(2).fd = third.Give();
    s.Slot(1).ready = true;  // cleared by the next check
    ASSERT_EQ(write(first.fds[1], "x", 1), 1);
    ASSERT_EQ(write(third.fds[1], "y", 1), 1);
    EXPECT_EQ(s.server->check_fds_read(kReplyMs, 0), 2);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(s.Slot(i).ready, i != 1) << "slot " << i;
    s.Slot(1).fd = second.Give();
    ASSERT_EQ(write(second.fds[1], "z", 1), 1);
    EXPECT_EQ(s.server->check_fds_read(kReplyMs, 0), 3);  // the unread bytes keep the others ready
    EXPECT_TRUE(s.Slot(1).ready);
    char c;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(read(s.Slot(i).fd, &c, 1), 1);  // nothing readable any more
    const fktest::SignalStorm storm;
    // Whole milliseconds, rounded: the wait may end half a millisecond early.
    EXPECT_TRUE(fktest::TakesMs(249, 250 + kMarginMs, [&] { EXPECT_EQ(s.server->check_fds_read(250, 1), 0); }));
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
    EXPECT_EQ(slow.Receive(4), "slow");
    EXPECT_TRUE(slow.Closed());
    slow.ResetSocket();
    EXPECT_FALSE(fktest::PathExists(s.path));
    EXPECT_EQ(fktest::OpenDescriptorCount(), s.before);
}

}  // namespace
