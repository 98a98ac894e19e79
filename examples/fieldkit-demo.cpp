// SPDX-License-Identifier: MIT
// fieldkit-demo: a small configuration daemon built from the whole library, the
// way an embedded product would use it.
//
// The daemon keeps its settings as "key: value" lines in a JStringArray, serves
// them on a local stream socket through a JTCPServer, guards them with a
// CriticalSection and announces every change as a datagram (to a local path,
// or with --multicast to an IPv4 group on the loopback interface). Requests
// are lines: "GET key" answers "OK value", "SET key value" answers "OK",
// anything else "ERR reason".
//
//   fieldkit-demo [--multicast] [--clients N] [--requests N]
//       runs the daemon with a few client threads of its own that query and
//       change settings, prints a summary and exits 0 only when every reply
//       was right.
//   fieldkit-demo --serve PATH [--announce PATH | --multicast]
//       runs the daemon until SIGTERM or SIGINT, serving on PATH, or on the
//       listening socket a service manager passed in (LISTEN_FDS).

#include "demo/config_daemon.h"
#include "demo/config_store.h"
#include "demo/service.h"

#include <fieldkit/fieldkit.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <unistd.h>

namespace {

constexpr unsigned int kGroup = 0xEFFF2A2Au;  // 239.255.42.42
constexpr unsigned int kLoopback = 0x7F000001u;
constexpr int kAnnouncePort = 47011;
constexpr int kSlots = 8;
constexpr int kRequestsPerConnection = 50;
constexpr unsigned short kReplyWaitMs = 2000;

struct options {
    bool valid = true;
    bool multicast = false;
    const char* serve_path = nullptr;     // --serve: run as a daemon on this path
    const char* announce_path = nullptr;  // --announce: datagram path for change notes
    int clients = 4;
    int requests = 150;
};

options parse_options(int argc, char** argv)
{
    options opt;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--multicast") == 0)
            opt.multicast = true;
        else if (std::strcmp(argv[i], "--serve") == 0 && has_value)
            opt.serve_path = argv[++i];
        else if (std::strcmp(argv[i], "--announce") == 0 && has_value)
            opt.announce_path = argv[++i];
        else if (std::strcmp(argv[i], "--clients") == 0 && has_value)
            opt.clients = std::clamp(std::atoi(argv[++i]), 1, 99);
        else if (std::strcmp(argv[i], "--requests") == 0 && has_value)
            opt.requests = std::clamp(std::atoi(argv[++i]), 1, 100000);
        else
            opt.valid = false;
    }
    opt.valid = opt.valid && !(opt.multicast && opt.announce_path);
    return opt;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: fieldkit-demo [--multicast] [--clients N] [--requests N]\n"
                 "       fieldkit-demo --serve PATH [--announce PATH | --multicast]\n");
    return 2;
}

// ---- Change announcements ------------------------------------------------

// The daemon's sender of change notes: to a local datagram path, or to the
// multicast group on the loopback interface.
bool open_announcer(bool multicast, const char* path, JSocket& tx)
{
    if (!multicast) {
        tx.InitializeSocket(path, UDP_SOCKET, UDP_SEND);
        return tx.fd != -1;
    }
    tx.type = UDP_SOCKET;
    tx.ip_addr = kGroup;
    tx.port = kAnnouncePort;
    if (!tx.create_udp_send_socket())
        return false;
    tx.ip_addr = kLoopback;  // the interface to send from; the destination stays the group
    return tx.mcast_set_if() == 0 && tx.mcast_set_ttl(0) == 0 && tx.mcast_set_loopback(1) == 0;
}

// A receiver of the change notes that counts them on a thread of its own.
class announcement_counter {
public:
    bool open(bool multicast, const char* path)
    {
        if (multicast) {
            rx_.type = UDP_SOCKET;
            rx_.ip_addr = kGroup;
            rx_.port = kAnnouncePort;
            rx_.mcast_if = kLoopback;  // join on the loopback interface only
            rx_.create_udp_receive_socket();
        } else {
            rx_.InitializeSocket(path, UDP_SOCKET, UDP_RECEIVE);
        }
        if (rx_.fd == -1)
            return false;
        thread_ = std::thread([this] { count(); });
        return true;
    }

    // Gives late notes 200 ms to arrive, then stops counting; the count.
    int finish()
    {
        Sleep(200);
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        rx_.ResetSocket();  // removes a local receiver's path
        return received_.load();
    }

private:
    void count()
    {
        Message note;
        while (!stop_.load())
            received_ += rx_.ReceiveMessage(&note, 100, -1);
    }

    JSocket rx_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> received_{0};
};

// ---- The daemon as a service ---------------------------------------------

// Serves on the passed listening socket when there is one, else binds `path`.
bool start_serving(JTCPServer& server, int listener, const char* path)
{
    if (listener != -1)
        return server.StartServerOnListener(listener, kSlots) == 1;
    return server.StartServer(path, kSlots) == 1;
}

void report_started(int listener, const char* path, const demo::config_store& store)
{
    if (listener != -1)
        std::printf("fieldkit-demo: serving on the passed socket (descriptor %d)", listener);
    else
        std::printf("fieldkit-demo: serving on %s", path);
    std::printf(", %d slots, lock semaphore set %d\n", kSlots, store.lock_set());
    std::fflush(stdout);
}

void report_stopped(int signal_number, const demo::config_daemon& daemon)
{
    std::printf("fieldkit-demo: stopped by %s after %d requests\n", signal_number == SIGINT ? "SIGINT" : "SIGTERM",
                daemon.answered());
    std::fflush(stdout);
}

int fail(const char* what)
{
    std::fprintf(stderr, "fieldkit-demo: %s\n", what);
    return 1;
}

// Runs until SIGTERM or SIGINT; 0 after a clean stop.
int serve(const options& opt)
{
    demo::stop_signals signals;  // before the server starts its threads
    if (!signals.usable())
        return fail("cannot wait for signals");
    JSocket announcer;
    const bool announcing = opt.multicast || opt.announce_path;
    if (announcing && !open_announcer(opt.multicast, opt.announce_path, announcer))
        return fail("cannot open the announcement channel");
    demo::config_store store(announcing ? &announcer : nullptr);
    if (!store.usable())
        return fail("cannot create the settings lock");

    JTCPServer server;
    demo::config_daemon daemon(server, store);
    server.SetApp(&daemon);
    const int listener = demo::inherited_listener();
    if (!start_serving(server, listener, opt.serve_path))
        return fail("cannot listen");
    report_started(listener, opt.serve_path, store);

    const int signal_number = signals.wait();
    server.StopThread();  // no message is in delivery afterwards
    report_stopped(signal_number, daemon);
    return 0;  // the server removes the path it bound, the store its semaphore set
}

// ---- The self-contained run: the daemon and its own clients ---------------

struct client_result {
    int wrong = 0;
    int connections = 0;
    std::vector<double> round_trips_us;
};

// Reads until `lines` reply lines have arrived or a read times out.
std::string read_lines(JSocket& link, int lines)
{
    std::string text;
    Message piece;
    while (std::count(text.begin(), text.end(), '\n') < lines && link.ReceiveMessage(&piece, kReplyWaitMs, -1))
        text.append(piece.data, piece.length);
    return text;
}

// Sends `requests` in one write and checks the replies against `expected`.
bool ask(JSocket& link, const std::string& requests, const std::string& expected, client_result& out)
{
    const auto start = std::chrono::steady_clock::now();
    const bool sent = link.SendMessage(const_cast<char*>(requests.data()), requests.size(), -1);
    const std::string replies = sent ? read_lines(link, static_cast<int>(std::count(expected.begin(), expected.end(), '\n'))) : "";
    out.round_trips_us.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    return replies == expected;
}

// A client program: asks and changes in batches of three lines, checks every
// reply, and reconnects now and then so that the server keeps accepting.
void run_client(const std::string& path, int id, int requests, client_result& out)
{
    JSocket link;
    const std::string key = "client" + std::to_string(id);
    for (int r = 0; r < requests; ++r) {
        if (r % kRequestsPerConnection == 0) {
            link.InitializeSocket(path.c_str(), TCP_CLIENT, 0);  // closes the previous connection
            out.connections += link.connected;
        }
        const std::string value = std::to_string(r);
        out.wrong += !ask(link, "GET port\nSET " + key + " " + value + "\nGET " + key + "\n",
                          "OK 8080\nOK\nOK " + value + "\n", out);
    }
}

struct run_result {
    int wrong = 0;
    int connections = 0;
    int served = 0;
    std::vector<double> round_trips_us;
};

run_result serve_own_clients(const options& opt, const std::string& path, demo::config_store& store)
{
    run_result total;
    JTCPServer server(path.c_str(), kSlots);  // listens and starts both threads
    demo::config_daemon daemon(server, store);
    server.SetApp(&daemon);

    std::vector<client_result> results(static_cast<size_t>(opt.clients));
    std::vector<std::thread> clients;
    for (int i = 0; i < opt.clients; ++i)
        clients.emplace_back(run_client, path, i, opt.requests, std::ref(results[static_cast<size_t>(i)]));
    for (auto& c : clients)
        c.join();
    server.StopThread();  // the workers leave before the daemon object goes

    for (const auto& r : results) {
        total.wrong += r.wrong;
        total.connections += r.connections;
        total.round_trips_us.insert(total.round_trips_us.end(), r.round_trips_us.begin(), r.round_trips_us.end());
    }
    total.served = daemon.answered();
    return total;
}

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

bool report_run(const options& opt, const run_result& run, int announcements)
{
    const int expected = opt.clients * opt.requests * 3;
    const bool right = run.wrong == 0 && run.served == expected;
    std::printf("fieldkit-demo: %d clients, %d connections accepted, %d requests served (%d expected)\n",
                opt.clients, run.connections, run.served, expected);
    std::printf("round trip of three pipelined requests: median %.0f us, p99 %.0f us\n",
                percentile(run.round_trips_us, 0.5), percentile(run.round_trips_us, 0.99));
    std::printf("%d change announcements received via %s\n", announcements,
                opt.multicast ? "IPv4 multicast on loopback" : "a local datagram socket");
    std::printf("%s\n", right ? "every reply was right" : "SOME REPLIES WERE WRONG");
    return right;
}

// Runs the daemon on a scratch directory with its own clients; 0 when every
// reply was right.
int run_self_contained(const options& opt)
{
    char dir[] = "/tmp/fieldkit-demo-XXXXXX";
    if (!mkdtemp(dir))
        return fail("cannot make a scratch directory");
    const std::string announce_path = std::string(dir) + "/changes.sock";

    announcement_counter changes;
    JSocket announcer;
    if (!changes.open(opt.multicast, announce_path.c_str()) ||
        !open_announcer(opt.multicast, announce_path.c_str(), announcer)) {
        changes.finish();
        rmdir(dir);
        return fail("could not open the announcement channel");
    }
    run_result run;
    {
        demo::config_store store(&announcer);
        run = serve_own_clients(opt, std::string(dir) + "/config.sock", store);
    }
    const int announcements = changes.finish();
    rmdir(dir);
    return report_run(opt, run, announcements) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const options opt = parse_options(argc, argv);
    if (!opt.valid)
        return usage();
    if (opt.serve_path)
        return serve(opt);
    return run_self_contained(opt);
}
