// SPDX-License-Identifier: MIT
// Stream server benchmark over a local socket path with 64-byte messages.
// fieldkit's JTCPServer, answering through SendMessage from OnMessage, against
// two echo servers measured in the same run:
//   blocking - one thread per connection, recv then send (the practical limit);
//   asio     - standalone Asio on one io_context thread (skipped, with a note,
//              when asio.hpp was not found at configure time).
// Scenarios: round trips on established connections (1 client, then 8 at
// once) and fresh connections (connect, send, receive the reply, close).
// Then fieldkit alone, against itself: the round trip of one client beside
// 0, 100 and 1000 idle connections; 200 clients that each connect, do one
// round trip and close, on 4 slots against 256; and 16 clients reconnecting
// on 8 slots, whose slowest round trips show how long a freed slot waits.
// Every client is the same raw blocking socket code for every server.
#include "BenchUtil.h"

#include <fieldkit/net/JTCPServer.h>

#ifdef FIELDKIT_BENCH_ASIO
#include <asio.hpp>
#endif

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
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

// ---- the client side, shared by every server -----------------------------

sockaddr_un LocalAddress(const std::string& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return addr;
}

int Connect(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un addr = LocalAddress(path);
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
    explicit FieldkitEcho(const std::string& path, int slots = kSlots) : server_(path.c_str(), slots)
    {
        server_.SetApp(this);
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

// Keeps the best of each figure over the runs: the least disturbed ones.
void KeepBest(Figures& best, const Figures& f, bool first)
{
    if (first) {
        best = f;
        return;
    }
    best.median_us = std::min(best.median_us, f.median_us);
    best.p99_us = std::min(best.p99_us, f.p99_us);
    best.per_second = std::max(best.per_second, f.per_second);
    best.failed = best.failed || f.failed;
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

void PrintComparison(const char* scenario, const Figures& ours, const char* baseline, const Figures& theirs)
{
    char what[96];
    std::snprintf(what, sizeof what, "%s, median", scenario);
    bench::Row(what, ours.median_us, baseline, theirs.median_us, "us");
    std::snprintf(what, sizeof what, "%s, p99", scenario);
    bench::Row(what, ours.p99_us, baseline, theirs.p99_us, "us");
    std::snprintf(what, sizeof what, "%s, throughput", scenario);
    bench::Row(what, ours.per_second, baseline, theirs.per_second, "msg/s");
}

// ---- the steps of the run --------------------------------------------------

// The idle connections and both of their ends need more descriptors than the usual 1024.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 4 * kIdleSlots));
    setrlimit(RLIMIT_NOFILE, &limit);
}

Contenders AllContenders()
{
    Contenders contenders = {
        {"fieldkit", [](const std::string& p) { return std::shared_ptr<void>(std::make_shared<FieldkitEcho>(p)); }},
        {"blocking", [](const std::string& p) { return std::shared_ptr<void>(std::make_shared<BlockingEcho>(p)); }},
    };
#ifdef FIELDKIT_BENCH_ASIO
    contenders.push_back(
        {"asio", [](const std::string& p) { return std::shared_ptr<void>(std::make_shared<AsioEcho>(p)); }});
#else
    std::printf("note: asio.hpp not found at configure time; the Asio baseline is skipped\n");
#endif
    return contenders;
}

// Figures of every contender in one scenario, by contender name.
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

// Runs `scenario` kRuns times on every contender, interleaved, keeps the best
// figures and prints fieldkit against each baseline.
Comparison CompareServers(const Scenario& scenario, const Contenders& contenders)
{
    Comparison result{std::vector<Figures>(contenders.size())};
    for (int run = 0; run < kRuns; ++run) {
        for (size_t c = 0; c < contenders.size(); ++c) {
            const std::string path = BenchPath(contenders[c].name);
            std::shared_ptr<void> server = contenders[c].start(path);
            const Figures f = scenario.run(path);
            if (f.failed)
                std::printf("warning: %s failed during '%s'\n", contenders[c].name, scenario.name);
            KeepBest(result.of[c], f, run == 0);
        }
    }
    for (size_t c = 1; c < contenders.size(); ++c)
        PrintComparison(scenario.name, result.Fieldkit(), contenders[c].name, result.of[c]);
    return result;
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
    char what[96];
    for (size_t level = 1; level < best.size(); ++level) {
        std::snprintf(what, sizeof what, "round trip beside %d idle, median", kIdleLevels[level]);
        bench::Row(what, best[level], "0 idle", best[0], "us");
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
    char what[96];
    std::snprintf(what, sizeof what, "%d-client flood on %d slots", kFloodClients, kFloodFewSlots);
    char baseline[32];
    std::snprintf(baseline, sizeof baseline, "%d slots", kFloodManySlots);
    bench::Row(what, best.few_slots, baseline, best.many_slots, "conn/s");
    return best;
}

// `kSoakClients` clients reconnecting for kSoakMs on `kSoakSlots` slots; every
// round trip is a sample, the first on each connection including its wait for a slot.
Figures MeasureSoak()
{
    const std::string path = BenchPath("soak");
    FieldkitEcho server(path, kSoakSlots);
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
    const Figures f = Summarise(all, wall.Microseconds(), failed);
    if (f.failed)
        std::printf("warning: fieldkit failed during the soak\n");
    char what[96];
    std::snprintf(what, sizeof what, "%d-client soak on %d slots, p99", kSoakClients, kSoakSlots);
    std::printf("%-44s fieldkit %12.2f us    (median %.2f us, %.0f round trips/s)\n", what, f.p99_us, f.median_us,
                f.per_second);
    return f;
}

void PrintTarget(const char* what, double value, const char* unit, bool met)
{
    std::printf("  %-66s %9.2f%s %s\n", what, value, unit, met ? "met" : "MISSED");
}

void PrintTargets(const Contenders& contenders, const Comparison& solo, const Comparison& crowd,
                  const Comparison& fresh, const std::vector<double>& idle, const FloodRates& flood,
                  const Figures& soak)
{
    std::printf("\ntargets:\n");
    const double solo_ratio = solo.Fieldkit().median_us / solo.Baseline(contenders, "blocking")->median_us;
    PrintTarget("established round trip (1 client, median) within 1.2x of blocking", solo_ratio, "x",
                solo_ratio <= 1.2);
    const double crowd_blocking = crowd.Fieldkit().per_second / crowd.Baseline(contenders, "blocking")->per_second;
    PrintTarget("8-client throughput against 0.8x of blocking (reported)", crowd_blocking, "x", crowd_blocking >= 0.8);
    if (const Figures* asio = crowd.Baseline(contenders, "asio")) {
        const double crowd_asio = crowd.Fieldkit().per_second / asio->per_second;
        PrintTarget("8-client throughput at least Asio's", crowd_asio, "x", crowd_asio >= 1.0);
    }
    PrintTarget("fresh-connection median under 2 ms", fresh.Fieldkit().median_us, " us",
                fresh.Fieldkit().median_us < 2000);
    const double idle_ratio = idle.back() / idle.front();
    PrintTarget("round trip beside 1000 idle connections at most 1.5x of none", idle_ratio, "x", idle_ratio <= 1.5);
    const double flood_ratio = flood.few_slots / flood.many_slots;
    PrintTarget("200-client flood on 4 slots at least 1/3 of the rate on 256", flood_ratio, "x",
                flood_ratio >= 1.0 / 3);
    PrintTarget("16-client soak on 8 slots, p99 round trip at most 20 ms", soak.p99_us / 1000, " ms",
                soak.p99_us <= 20000);
}

const Scenario kSolo{"round trip, 1 client", [](const std::string& p) { return Established(p, 1, kSoloRoundTrips); }};
const Scenario kCrowd{"round trip, 8 clients",
                      [](const std::string& p) { return Established(p, kCrowdClients, kCrowdRoundTrips); }};
const Scenario kFresh{"fresh connection", [](const std::string& p) { return Fresh(p, kFreshConnections); }};

}  // namespace

int main()
{
    RaiseDescriptorLimit();
    std::printf("local stream socket, %zu-byte messages; each figure is the best of %d interleaved runs;\n"
                "ratios are fieldkit / baseline\n",
                kMessageBytes, kRuns);
    const Contenders contenders = AllContenders();
    const Comparison solo = CompareServers(kSolo, contenders);
    const Comparison crowd = CompareServers(kCrowd, contenders);
    const Comparison fresh = CompareServers(kFresh, contenders);
    const std::vector<double> idle = MeasureIdleCost();
    const FloodRates flood = MeasureFullTableFlood();
    const Figures soak = MeasureSoak();
    PrintTargets(contenders, solo, crowd, fresh, idle, flood, soak);
    return 0;
}
