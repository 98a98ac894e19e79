// SPDX-License-Identifier: MIT
// Stream server benchmark over a local socket path with 64-byte messages.
// fieldkit's JTCPServer, answering through SendMessage from OnMessage, against
// two echo servers measured in the same run:
//   blocking - one thread per connection, recv then send (the practical limit);
//   asio     - standalone Asio on one io_context thread (skipped, with a note,
//              when asio.hpp was not found at configure time).
// Scenarios: round trips on established connections (1 client, then 8 at
// once), each both free and with the whole process (clients and servers)
// pinned to one CPU, which takes the scheduler's placement out of the figure;
// and fresh connections (connect, send, receive the reply, close).
// Then 8 clients free on every CPU against fieldkit with 1, 2 and 4 reading
// threads, next to the blocking server. Then fieldkit against itself: the
// round trip of one client beside 0, 100 and 1000 idle connections; 200
// clients that each connect, do one round trip and close, on 4 slots against
// 256; 16 clients reconnecting on 8 slots, whose slowest round trips show how
// long a freed slot waits (against the same on the blocking server); and one
// client beside 7 flooders that send without ever reading their replies, so
// their queues fill, reach the limit and get cut, and they reconnect: that
// client's round trip against its own alone, and the process's resident
// memory growth against the most the server may hold in queues; once with
// the flooders at normal priority, once at the lowest (nice 19), which takes
// their own processor time out of the client's figure on a machine with few CPUs.
// Every client is the same raw blocking socket code for every server; every
// row prints its ratio to a baseline measured in the same run (or, for the
// memory row, to the stated bound).
#include "BenchUtil.h"

#include <fieldkit/net/JTCPServer.h>

#ifdef FIELDKIT_BENCH_ASIO
#include <asio.hpp>
#endif

#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kMessageBytes = 64;
constexpr int kSlots = 16;
constexpr int kWarmUp = 500;
constexpr int kSoloRoundTrips = 20000;
constexpr int kCrowdClients = 8;
constexpr int kCrowdRoundTrips = 5000;  // per client
constexpr int kFreshConnections = 3000;
constexpr int kRuns = 3;  // interleaved, to ride out the load of a shared machine
constexpr int kIdleLevels[] = {0, 100, 1000};
constexpr int kIdleSlots = 1024;  // room for the most idle connections and the active one
constexpr int kIdleRoundTrips = 5000;
constexpr int kFloodClients = 200;
constexpr int kFloodFewSlots = 4;
constexpr int kFloodManySlots = 256;
constexpr int kSoakClients = 16;
constexpr int kSoakSlots = 8;
constexpr int kSoakRoundTripsPerConnection = 4;
constexpr int kSoakMs = 2000;
constexpr int kReadingThreads[] = {1, 2, 4};
constexpr int kFlooders = 7;
constexpr int kFloodedRoundTrips = 5000;
constexpr int kFloodedLimitMs = 3000;  // a server stalled by the flood ends the count early
constexpr long kSendBufferLimit = 64 * 1024;  // the server's default: what one queue may hold
constexpr int kFlooderWaitMs = 100;           // a flooder's blocked send looks at the stop flag this often

// ---- the client side, shared by every server -----------------------------

sockaddr_un LocalAddress(const std::string& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return addr;
}

// A connected socket, or -1. With `wait_ms`, connect and every send give up
// after that long (EAGAIN) instead of blocking on.
int Connect(const std::string& path, int wait_ms = 0)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un addr = LocalAddress(path);
    const timeval wait{wait_ms / 1000, (wait_ms % 1000) * 1000};
    if (fd != -1 && wait_ms > 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    if (fd != -1 && connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One 64-byte request and its whole echo; false when the connection failed.
bool RoundTrip(int fd)
{
    char out[kMessageBytes];
    std::memset(out, 'q', sizeof out);
    if (send(fd, out, sizeof out, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof out))
        return false;
    char in[kMessageBytes];
    size_t got = 0;
    while (got < sizeof in) {
        const ssize_t n = recv(fd, in + got, sizeof in - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// ---- the servers: each serves its path from construction to destruction --

class FieldkitEcho : public JStdApp {
public:
    // OnMessage only answers on the message's own connection, so it is safe
    // with several reading threads.
    explicit FieldkitEcho(const std::string& path, int slots = kSlots, int reading_threads = 1)
    {
        server_.SetReadingThreads(reading_threads);
        server_.SetApp(this);
        server_.StartServer(path.c_str(), slots);
    }
    int OnMessage(TCPMessage* m) override { return server_.SendMessage(m); }

private:
    JTCPServer server_;
};

class BlockingEcho {
public:
    explicit BlockingEcho(const std::string& path) : path_(path)
    {
        unlink(path.c_str());
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un addr = LocalAddress(path);
        if (bind(listen_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listen_fd_, kSlots) != 0)
            std::perror("blocking echo");
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~BlockingEcho()
    {
        stopping_ = true;
        close(Connect(path_));  // wakes the accept
        acceptor_.join();
        close(listen_fd_);
        unlink(path_.c_str());
        while (sessions_ != 0)  // every client has closed by now; let the sessions see it
            std::this_thread::yield();
    }

private:
    void Accept()
    {
        for (;;) {
            const int client = accept(listen_fd_, nullptr, nullptr);
            if (stopping_ || client < 0) {
                if (client >= 0)
                    close(client);
                return;
            }
            ++sessions_;
            std::thread([this, client] {
                char buf[2048];
                ssize_t n;
                while ((n = recv(client, buf, sizeof buf, 0)) > 0)
                    send(client, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
                close(client);
                --sessions_;
            }).detach();
        }
    }

    std::string path_;
    int listen_fd_ = -1;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> sessions_{0};
};

#ifdef FIELDKIT_BENCH_ASIO
class AsioEcho {
    using Protocol = asio::local::stream_protocol;

public:
    explicit AsioEcho(const std::string& path) : path_(path), acceptor_(io_)
    {
        unlink(path.c_str());
        acceptor_ = Protocol::acceptor(io_, Protocol::endpoint(path));
        Accept();
        runner_ = std::thread([this] { io_.run(); });
    }
    ~AsioEcho()
    {
        io_.stop();
        runner_.join();
        unlink(path_.c_str());
    }

private:
    struct Session : std::enable_shared_from_this<Session> {
        explicit Session(Protocol::socket s) : socket(std::move(s)) {}
        void Read()
        {
            socket.async_read_some(asio::buffer(buf), [self = shared_from_this()](std::error_code ec, size_t n) {
                if (!ec)
                    self->Write(n);
            });
        }
        void Write(size_t n)
        {
            asio::async_write(socket, asio::buffer(buf, n), [self = shared_from_this()](std::error_code ec, size_t) {
                if (!ec)
                    self->Read();
            });
        }
        Protocol::socket socket;
        std::array<char, 2048> buf{};
    };

    void Accept()
    {
        acceptor_.async_accept([this](std::error_code ec, Protocol::socket s) {
            if (!ec)
                std::make_shared<Session>(std::move(s))->Read();
            Accept();
        });
    }

    std::string path_;
    asio::io_context io_;
    Protocol::acceptor acceptor_;
    std::thread runner_;
};
#endif

// ---- measurements --------------------------------------------------------

struct Figures {
    double median_us = 0;
    double p99_us = 0;
    double per_second = 0;
    bool failed = false;
};

Figures Summarise(std::vector<double>& samples, double wall_us, bool failed)
{
    Figures f;
    f.median_us = bench::Quantile(samples, 0.5);
    f.p99_us = bench::Quantile(samples, 0.99);
    f.per_second = wall_us > 0 ? static_cast<double>(samples.size()) * 1e6 / wall_us : 0;
    f.failed = failed;
    return f;
}

// `clients` connections, each warmed up, then all timing `rounds` round trips at once.
Figures Established(const std::string& path, int clients, int rounds)
{
    std::vector<std::vector<double>> samples(static_cast<size_t>(clients));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            const int fd = Connect(path);
            bool ok = fd != -1;
            for (int i = 0; ok && i < kWarmUp; ++i)
                ok = RoundTrip(fd);
            ++ready;
            while (!go)
                std::this_thread::yield();
            std::vector<double>& mine = samples[static_cast<size_t>(c)];
            mine.reserve(static_cast<size_t>(rounds));
            for (int i = 0; ok && i < rounds; ++i) {
                bench::Stopwatch sw;
                ok = RoundTrip(fd);
                mine.push_back(sw.Microseconds());
            }
            if (!ok)
                failed = true;
            if (fd != -1)
                close(fd);
        });
    }
    while (ready != clients)
        std::this_thread::yield();
    bench::Stopwatch wall;
    go = true;
    for (auto& t : threads)
        t.join();
    const double wall_us = wall.Microseconds();
    std::vector<double> all;
    for (auto& s : samples)
        all.insert(all.end(), s.begin(), s.end());
    return Summarise(all, wall_us, failed);
}

// Connect, one request, its reply, close - one after the other.
Figures Fresh(const std::string& path, int connections)
{
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(connections));
    bool failed = false;
    bench::Stopwatch wall;
    for (int i = 0; i < connections && !failed; ++i) {
        bench::Stopwatch sw;
        const int fd = Connect(path);
        failed = fd == -1 || !RoundTrip(fd);
        if (fd != -1)
            close(fd);
        samples.push_back(sw.Microseconds());
    }
    return Summarise(samples, wall.Microseconds(), failed);
}


// Up to `rounds` round trips of one client on one connection, for at most
// `limit_ms` after its warm-up; one sample each.
Figures SoleClient(const std::string& path, int rounds, double limit_ms)
{
    const int fd = Connect(path);
    bool ok = fd != -1;
    for (int i = 0; ok && i < kWarmUp; ++i)
        ok = RoundTrip(fd);
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(rounds));
    bench::Stopwatch wall;
    for (int i = 0; ok && i < rounds && wall.Microseconds() < limit_ms * 1e3; ++i) {
        bench::Stopwatch sw;
        ok = RoundTrip(fd);
        samples.push_back(sw.Microseconds());
    }
    if (fd != -1)
        close(fd);
    return Summarise(samples, wall.Microseconds(), !ok);
}

// Keeps the best of each figure over the runs (the least disturbed ones), or
// the worst where a bound must hold in every run and one lucky run must not
// hide the others.
void Keep(Figures& kept, const Figures& f, bool first, bool best)
{
    if (first) {
        kept = f;
        return;
    }
    const auto time = [best](double a, double b) { return best ? std::min(a, b) : std::max(a, b); };
    kept.median_us = time(kept.median_us, f.median_us);
    kept.p99_us = time(kept.p99_us, f.p99_us);
    kept.per_second = best ? std::max(kept.per_second, f.per_second) : std::min(kept.per_second, f.per_second);
    kept.failed = kept.failed || f.failed;
}

struct Scenario {
    const char* name;
    std::function<Figures(const std::string&)> run;
};

struct Contender {
    const char* name;
    std::function<std::shared_ptr<void>(const std::string&)> start;
};
using Contenders = std::vector<Contender>;

std::string BenchPath(const char* leaf)
{
    return "/tmp/fieldkit-server-bench-" + std::to_string(getpid()) + "-" + leaf;
}

void PrintComparison(const std::string& scenario, const Figures& ours, const char* baseline, const Figures& theirs)
{
    bench::Row((scenario + ", median").c_str(), ours.median_us, baseline, theirs.median_us, "us");
    bench::Row((scenario + ", p99").c_str(), ours.p99_us, baseline, theirs.p99_us, "us");
    bench::Row((scenario + ", throughput").c_str(), ours.per_second, baseline, theirs.per_second, "msg/s");
}

// Pins the calling thread to the first CPU it may use, and with it every
// thread it creates from then on (they inherit the set), so clients and
// servers started meanwhile share that one CPU. Puts the old set back when it goes.
class OneCpu {
public:
    OneCpu()
    {
        CPU_ZERO(&old_);
        sched_getaffinity(0, sizeof old_, &old_);
        int cpu = 0;
        while (cpu < CPU_SETSIZE - 1 && !CPU_ISSET(cpu, &old_))
            ++cpu;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0)
            std::perror("pinning to one CPU");
    }
    ~OneCpu() { sched_setaffinity(0, sizeof old_, &old_); }
    OneCpu(const OneCpu&) = delete;
    OneCpu& operator=(const OneCpu&) = delete;

private:
    cpu_set_t old_;
};

// ---- the steps of the run --------------------------------------------------

// The idle connections and both of their ends need more descriptors than the usual 1024.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 4 * kIdleSlots));
    setrlimit(RLIMIT_NOFILE, &limit);
}

template <typename Server>
Contender Serving(const char* name)
{
    return {name, [](const std::string& p) { return std::shared_ptr<void>(std::make_shared<Server>(p)); }};
}

Contenders AllContenders()
{
    Contenders contenders = {Serving<FieldkitEcho>("fieldkit"), Serving<BlockingEcho>("blocking")};
#ifdef FIELDKIT_BENCH_ASIO
    contenders.push_back(Serving<AsioEcho>("asio"));
#else
    std::printf("note: asio.hpp not found at configure time; the Asio baseline is skipped\n");
#endif
    return contenders;
}

// Figures of every contender in one scenario, in the contenders' order.
struct Comparison {
    std::vector<Figures> of;
    const Figures& Fieldkit() const { return of[0]; }
    const Figures* Baseline(const Contenders& contenders, const char* name) const
    {
        for (size_t c = 1; c < contenders.size(); ++c)
            if (std::strcmp(contenders[c].name, name) == 0)
                return &of[c];
        return nullptr;
    }
};

// Runs `scenario` kRuns times on every contender, interleaved, and keeps the
// best figures. Each run starts with the next contender: whichever goes first
// after a change of scenario tends to come out slower.
Comparison RunInterleaved(const Scenario& scenario, const Contenders& contenders)
{
    Comparison result{std::vector<Figures>(contenders.size())};
    for (int run = 0; run < kRuns; ++run) {
        for (size_t k = 0; k < contenders.size(); ++k) {
            const size_t c = (k + static_cast<size_t>(run)) % contenders.size();
            const std::string path = BenchPath("server");
            std::shared_ptr<void> server = contenders[c].start(path);
            const Figures f = scenario.run(path);
            if (f.failed)
                std::printf("warning: %s failed during '%s'\n", contenders[c].name, scenario.name);
            Keep(result.of[c], f, run == 0, true);
        }
    }
    return result;
}

// The scenario on every contender, pinned to one CPU or free, and fieldkit
// (the first contender) against each of the others.
Comparison CompareServers(const Scenario& scenario, const Contenders& contenders, bool pinned)
{
    std::optional<OneCpu> pin;
    if (pinned)
        pin.emplace();
    const Comparison result = RunInterleaved(scenario, contenders);
    const std::string name = std::string(scenario.name) + (pinned ? ", pinned" : ", free");
    for (size_t c = 1; c < contenders.size(); ++c)
        PrintComparison(name, result.Fieldkit(), contenders[c].name, result.of[c]);
    return result;
}

template <int kThreads>
struct ThreadedEcho : FieldkitEcho {
    explicit ThreadedEcho(const std::string& path) : FieldkitEcho(path, kSlots, kThreads) {}
};

// 8 clients free on every CPU against fieldkit with 1, 2 and 4 reading
// threads and the blocking server, interleaved; throughput ratios, by thread count.
std::vector<double> MeasureReadingThreads(const Scenario& crowd)
{
    const Contenders contenders = {Serving<ThreadedEcho<kReadingThreads[0]>>("fieldkit, 1 thread"),
                                   Serving<ThreadedEcho<kReadingThreads[1]>>("fieldkit, 2 threads"),
                                   Serving<ThreadedEcho<kReadingThreads[2]>>("fieldkit, 4 threads"),
                                   Serving<BlockingEcho>("blocking")};
    const Comparison result = RunInterleaved(crowd, contenders);
    const Figures& blocking = result.of.back();
    std::vector<double> ratios;
    for (size_t t = 0; t < std::size(kReadingThreads); ++t) {
        const std::string name =
            std::to_string(kCrowdClients) + " clients, " + std::to_string(kReadingThreads[t]) +
                                 (kReadingThreads[t] == 1 ? " reading thread" : " reading threads");
        bench::Row((name + ", median").c_str(), result.of[t].median_us, "blocking", blocking.median_us, "us");
        bench::Row((name + ", throughput").c_str(), result.of[t].per_second, "blocking", blocking.per_second, "msg/s");
        ratios.push_back(result.of[t].per_second / blocking.per_second);
    }
    return ratios;
}

// Connections that are opened and then never used, until the object goes.
class IdleConnections {
public:
    void GrowTo(const std::string& path, int count)
    {
        while (static_cast<int>(fds_.size()) < count)
            fds_.push_back(Connect(path));
    }
    ~IdleConnections()
    {
        for (int fd : fds_)
            if (fd != -1)
                close(fd);
    }

private:
    std::vector<int> fds_;
};

// Median round trip of one client beside each number of idle connections.
std::vector<double> MeasureIdleCost()
{
    std::vector<double> best(std::size(kIdleLevels), 1e300);
    for (int run = 0; run < kRuns; ++run) {
        const std::string path = BenchPath("idle");
        FieldkitEcho server(path, kIdleSlots);
        IdleConnections idle;
        for (size_t level = 0; level < best.size(); ++level) {
            idle.GrowTo(path, kIdleLevels[level]);  // accepted before the active client, which queues behind
            const Figures f = Established(path, 1, kIdleRoundTrips);
            if (f.failed)
                std::printf("warning: fieldkit failed beside %d idle connections\n", kIdleLevels[level]);
            best[level] = std::min(best[level], f.median_us);
        }
    }
    for (size_t level = 1; level < best.size(); ++level) {
        const std::string what = "round trip beside " + std::to_string(kIdleLevels[level]) + " idle, median";
        bench::Row(what.c_str(), best[level], "0 idle", best[0], "us");
    }
    return best;
}

// `kFloodClients` clients at once, each connecting, doing one round trip and
// closing; connections per second.
double Flood(const std::string& path)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    bench::Stopwatch wall;
    for (int c = 0; c < kFloodClients; ++c) {
        clients.emplace_back([&] {
            const int fd = Connect(path);
            failures += fd == -1 || !RoundTrip(fd);
            if (fd != -1)
                close(fd);
        });
    }
    for (auto& t : clients)
        t.join();
    if (failures != 0)
        std::printf("warning: %d flood clients failed\n", failures.load());
    return kFloodClients * 1e6 / wall.Microseconds();
}

struct FloodRates {
    double few_slots = 0;
    double many_slots = 0;
};

FloodRates MeasureFullTableFlood()
{
    FloodRates best;
    for (int run = 0; run < kRuns; ++run) {
        const std::string path = BenchPath("flood");
        {
            FieldkitEcho server(path, kFloodFewSlots);
            best.few_slots = std::max(best.few_slots, Flood(path));
        }
        FieldkitEcho server(path, kFloodManySlots);
        best.many_slots = std::max(best.many_slots, Flood(path));
    }
    const std::string what =
        std::to_string(kFloodClients) + "-client flood on " + std::to_string(kFloodFewSlots) + " slots";
    const std::string baseline = std::to_string(kFloodManySlots) + " slots";
    bench::Row(what.c_str(), best.few_slots, baseline.c_str(), best.many_slots, "conn/s");
    return best;
}

// `kSoakClients` clients reconnecting for kSoakMs; every round trip is a
// sample, the first on each connection including its wait for a slot.
Figures Soak(const std::string& path)
{
    std::vector<std::vector<double>> samples(kSoakClients);
    std::atomic<bool> failed{false};
    std::vector<std::thread> clients;
    bench::Stopwatch wall;
    for (size_t c = 0; c < samples.size(); ++c) {
        clients.emplace_back([&, c] {
            while (wall.Microseconds() < kSoakMs * 1e3 && !failed) {
                const int fd = Connect(path);
                for (int i = 0; fd != -1 && i < kSoakRoundTripsPerConnection && !failed; ++i) {
                    bench::Stopwatch sw;
                    failed = failed || !RoundTrip(fd);
                    samples[c].push_back(sw.Microseconds());
                }
                failed = failed || fd == -1;
                if (fd != -1)
                    close(fd);
            }
        });
    }
    for (auto& t : clients)
        t.join();
    std::vector<double> all;
    for (auto& s : samples)
        all.insert(all.end(), s.begin(), s.end());
    return Summarise(all, wall.Microseconds(), failed);
}

// The soak on fieldkit with `kSoakSlots` slots, against the blocking server,
// which has a thread for every connection and so never makes one wait.
Figures MeasureSoak()
{
    Figures ours;
    Figures theirs;
    {
        const std::string path = BenchPath("soak");
        FieldkitEcho server(path, kSoakSlots);
        ours = Soak(path);
    }
    {
        const std::string path = BenchPath("soak");
        BlockingEcho server(path);
        theirs = Soak(path);
    }
    if (ours.failed || theirs.failed)
        std::printf("warning: a client failed during the soak\n");
    const std::string what = std::to_string(kSoakClients) + "-client soak on " + std::to_string(kSoakSlots) + " slots";
    bench::Row((what + ", p99").c_str(), ours.p99_us, "blocking", theirs.p99_us, "us");
    bench::Row((what + ", median").c_str(), ours.median_us, "blocking", theirs.median_us, "us");
    return ours;
}

// The process's resident memory (VmRSS) in KiB; 0 when unknown.
long ResidentKib()
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    long kib = 0;
    char line[256];
    while (status && std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmRSS: %ld", &kib) == 1)
            break;
    if (status)
        std::fclose(status);
    return kib;
}

// A client that sends requests as fast as the server takes them and never
// reads a reply. When the server cuts it, it counts the cut and reconnects.
// At the lowest priority it only gets the processor time nobody else wants.
void NonReader(const std::string& path, bool lowest_priority, const std::atomic<bool>& stop, std::atomic<int>& cuts)
{
    char out[kMessageBytes];
    std::memset(out, 'f', sizeof out);
    if (lowest_priority)
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);  // this thread only
    while (!stop) {
        const int fd = Connect(path, kFlooderWaitMs);
        while (fd != -1 && !stop) {
            if (send(fd, out, sizeof out, MSG_NOSIGNAL) < 0 && errno != EAGAIN && errno != EINTR) {
                ++cuts;
                break;
            }
        }
        if (fd != -1)
            close(fd);
    }
}

struct FlooderFigures {
    Figures alone;
    Figures flooded;
    long rss_growth_kib = 0;  // the most, sampled while the flooders ran
    int cuts = 0;             // flooder connections the server ended
};

// One run: the well-behaved client alone, then beside kFlooders non-readers;
// resident memory sampled from just before the flooders start until they stop.
FlooderFigures FloodedRun(bool lowest_priority)
{
    const std::string path = BenchPath("flooders");
    FieldkitEcho server(path);
    FlooderFigures f;
    f.alone = SoleClient(path, kFloodedRoundTrips, kFloodedLimitMs);
    const long before = ResidentKib();
    std::atomic<bool> stop{false};
    std::atomic<int> cuts{0};
    std::vector<std::thread> flooders;
    for (int i = 0; i < kFlooders; ++i)
        flooders.emplace_back(NonReader, std::cref(path), lowest_priority, std::cref(stop), std::ref(cuts));
    std::atomic<long> peak{before};
    std::thread sampler([&] {
        while (!stop) {
            peak = std::max(peak.load(), ResidentKib());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the queues fill
    f.flooded = SoleClient(path, kFloodedRoundTrips, kFloodedLimitMs);
    stop = true;
    for (auto& t : flooders)
        t.join();
    sampler.join();
    f.rss_growth_kib = std::max(peak.load(), ResidentKib()) - before;
    f.cuts = cuts;
    return f;
}

// The flooders run at normal priority, and then at the lowest. On a machine
// with few CPUs, seven threads that send without pause take processor time
// from the client and the server alike, which no server can prevent; at the
// lowest priority they still fill their queues and get cut, and what is left
// of the client's slowdown is the server's doing.
// Each figure is the worst of the runs.
FlooderFigures MeasureFlooders(bool lowest_priority)
{
    FlooderFigures worst;
    for (int run = 0; run < kRuns; ++run) {
        const FlooderFigures f = FloodedRun(lowest_priority);
        if (f.alone.failed || f.flooded.failed)
            std::printf("warning: the well-behaved client failed beside the flooders\n");
        Keep(worst.alone, f.alone, run == 0, false);
        Keep(worst.flooded, f.flooded, run == 0, false);
        worst.rss_growth_kib = std::max(worst.rss_growth_kib, f.rss_growth_kib);
        worst.cuts += f.cuts;
    }
    const std::string what =
        "1 client beside " + std::to_string(kFlooders) + " non-readers" + (lowest_priority ? " at nice 19" : "");
    bench::Row((what + ", p99").c_str(), worst.flooded.p99_us, "alone", worst.alone.p99_us, "us");
    bench::Row((what + ", median").c_str(), worst.flooded.median_us, "alone", worst.alone.median_us, "us");
    const double bound_kib = kSlots * (kSendBufferLimit / 1024.0);
    const char* growth = lowest_priority ? "RSS growth, nice 19 non-readers, worst run"
                                         : "RSS growth beside non-readers, worst run";
    bench::Row(growth, static_cast<double>(worst.rss_growth_kib), "bound slots x limit", bound_kib, "KiB");
    std::printf("  (non-reader connections cut by the server in %d runs: %d)\n", kRuns, worst.cuts);
    return worst;
}

// ---- the verdict ------------------------------------------------------------

struct Results {
    Comparison solo_free;
    Comparison solo_pinned;
    Comparison crowd_free;
    Comparison fresh;
    std::vector<double> threads;  // 8-client throughput / blocking's, by reading threads
    std::vector<double> idle;
    FloodRates flood;
    Figures soak;
    FlooderFigures flooders;
    FlooderFigures low_flooders;  // the flooders at the lowest priority
};

void PrintTarget(const char* what, double value, const char* unit, bool met)
{
    std::printf("  %-66s %9.2f%s %s\n", what, value, unit, met ? "met" : "MISSED");
}

double MedianRatio(const Comparison& c, const Contenders& contenders)
{
    return c.Fieldkit().median_us / c.Baseline(contenders, "blocking")->median_us;
}

void PrintTargets(const Contenders& contenders, const Results& r)
{
    std::printf("\ntargets:\n");
    const double pinned = MedianRatio(r.solo_pinned, contenders);
    PrintTarget("pinned round trip (1 client, median) within 1.25x of blocking", pinned, "x", pinned <= 1.25);
    const double free = MedianRatio(r.solo_free, contenders);
    PrintTarget("free round trip (1 client, median) within 1.25x of blocking", free, "x", free <= 1.25);
    const double crowd = r.crowd_free.Fieldkit().per_second / r.crowd_free.Baseline(contenders, "blocking")->per_second;
    PrintTarget("8-client throughput against 0.8x of blocking (reported)", crowd, "x", crowd >= 0.8);
    if (const Figures* asio = r.crowd_free.Baseline(contenders, "asio")) {
        const double crowd_asio = r.crowd_free.Fieldkit().per_second / asio->per_second;
        PrintTarget("8-client throughput at least Asio's", crowd_asio, "x", crowd_asio >= 1.0);
    }
    PrintTarget("fresh-connection median under 2 ms", r.fresh.Fieldkit().median_us, " us",
                r.fresh.Fieldkit().median_us < 2000);
    const double two_threads = r.threads[1];
    PrintTarget("8 clients, 2 reading threads: throughput at least blocking's", two_threads, "x", two_threads >= 1.0);
    const double idle_ratio = r.idle.back() / r.idle.front();
    PrintTarget("round trip beside 1000 idle connections at most 1.5x of none", idle_ratio, "x", idle_ratio <= 1.5);
    const double flood_ratio = r.flood.few_slots / r.flood.many_slots;
    PrintTarget("200-client flood on 4 slots at least 1/3 of the rate on 256", flood_ratio, "x",
                flood_ratio >= 1.0 / 3);
    PrintTarget("16-client soak on 8 slots, p99 round trip at most 20 ms", r.soak.p99_us / 1000, " ms",
                r.soak.p99_us <= 20000);
    const double flooded = r.flooders.flooded.p99_us / r.flooders.alone.p99_us;
    PrintTarget("1 client beside 7 non-readers: p99 at most 2x its p99 alone", flooded, "x", flooded <= 2.0);
    const double low = r.low_flooders.flooded.p99_us / r.low_flooders.alone.p99_us;
    PrintTarget("the same, non-readers at nice 19: p99 at most 2x alone", low, "x", low <= 2.0);
    const long worst_kib = std::max(r.flooders.rss_growth_kib, r.low_flooders.rss_growth_kib);
    const double growth = static_cast<double>(worst_kib) / (kSlots * (kSendBufferLimit / 1024.0));
    PrintTarget("RSS growth beside the non-readers within slots x send limit", growth, "x", growth <= 1.0);
}

const Scenario kSolo{"round trip, 1 client", [](const std::string& p) { return Established(p, 1, kSoloRoundTrips); }};
const Scenario kCrowd{"round trip, 8 clients",
                      [](const std::string& p) { return Established(p, kCrowdClients, kCrowdRoundTrips); }};
const Scenario kFresh{"fresh connection", [](const std::string& p) { return Fresh(p, kFreshConnections); }};

}  // namespace

int main()
{
    RaiseDescriptorLimit();
    std::printf("local stream socket, %zu-byte messages; each figure is the best of %d interleaved runs\n"
                "(the non-reader rows: the worst); ratios are fieldkit / baseline\n",
                kMessageBytes, kRuns);
    const Contenders contenders = AllContenders();
    Results r;
    r.solo_pinned = CompareServers(kSolo, contenders, true);
    r.solo_free = CompareServers(kSolo, contenders, false);
    CompareServers(kCrowd, contenders, true);
    r.crowd_free = CompareServers(kCrowd, contenders, false);
    r.fresh = CompareServers(kFresh, contenders, false);
    r.threads = MeasureReadingThreads(kCrowd);
    r.idle = MeasureIdleCost();
    r.flood = MeasureFullTableFlood();
    r.soak = MeasureSoak();
    r.flooders = MeasureFlooders(false);
    r.low_flooders = MeasureFlooders(true);
    PrintTargets(contenders, r);
    return 0;
}
