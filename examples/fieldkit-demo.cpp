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
//   fieldkit-demo [--multicast] [--clients N] [--requests N] [--wait MS]
//       runs the daemon with a few client threads of its own that query and
//       change settings, prints a summary and exits 0 only when every reply
//       was right and in time (MS: how long a client waits for a reply).
//   fieldkit-demo --serve PATH [--announce PATH | --multicast]
//       runs the daemon until SIGTERM, SIGINT or SIGQUIT (SIGHUP is noted and
//       serving goes on), serving on PATH, or on the listening socket a
//       service manager passed in (LISTEN_FDS).

#include "demo/config_daemon.h"
#include "demo/config_store.h"
#include "demo/listener.h"
#include "demo/service.h"

#include <fieldkit/fieldkit.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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
constexpr int kSlots = 8;                   // the self-contained run's server, at least one per client
constexpr int kReadingThreads = 2;          // both servers; OnMessage then runs on two threads at once
// The daemon's limits hold against one hostile local user. It may hold an
// eighth of the slots, so the owner (and everyone else) always finds one
// free; the owner too holds at most that many at once, plenty for its tools.
// An eighth rather than a quarter: every connection that floods without
// reading costs reading time, and with 16 of them the owner's worst round
// trip neared 100 ms on a busy 2-core machine, with 8 about 20 ms. A silent
// connection is closed after the idle limit; a client that does not read its
// replies loses its connection once 16 KiB of them wait beyond what its
// socket holds (sixteen of the longest replies) or once they have waited the
// send bound. Memory for unsent replies stays within 64 x 16 KiB = 1 MiB.
constexpr int kServeSlots = 64;
constexpr int kServePerUser = kServeSlots / 8;
constexpr int kServeIdleMs = 30000;
constexpr long kServeSendBufferBytes = 16 * 1024;
constexpr int kServeSendBoundMs = 1000;
constexpr mode_t kSocketMode = 0666;        // anyone may connect and GET; SET checks the peer's user id
constexpr int kAnnounceBoundMs = 20;        // a change note not taken within this is dropped
constexpr int kRequestsPerConnection = 50;
constexpr int kDefaultReplyWaitMs = 5000;

struct options {
    bool valid = true;
    bool multicast = false;
    const char* serve_path = nullptr;     // --serve: run as a daemon on this path
    const char* announce_path = nullptr;  // --announce: datagram path for change notes
    int clients = 4;
    int requests = 150;
    int reply_wait_ms = kDefaultReplyWaitMs;  // --wait: a reply later than this counts as late
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
        else if (std::strcmp(argv[i], "--wait") == 0 && has_value)
            opt.reply_wait_ms = std::clamp(std::atoi(argv[++i]), 1, 65535);
        else
            opt.valid = false;
    }
    opt.valid = opt.valid && !(opt.multicast && opt.announce_path);
    return opt;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: fieldkit-demo [--multicast] [--clients N] [--requests N] [--wait MS]\n"
                 "       fieldkit-demo --serve PATH [--announce PATH | --multicast]\n");
    return 2;
}

// ---- Change announcements ------------------------------------------------

// The daemon's sender of change notes: to a local datagram path, or to the
// multicast group on the loopback interface.
// Its sends are bounded: a receiver that stopped reading costs a SET at most
// kAnnounceBoundMs, and the note is dropped.
bool open_announcer(bool multicast, const char* path, JSocket& tx)
{
    if (!multicast) {
        tx.InitializeSocket(path, UDP_SOCKET, UDP_SEND);
        return tx.fd != -1 && tx.SetSendTimeout(kAnnounceBoundMs) == 1;
    }
    tx.type = UDP_SOCKET;
    tx.ip_addr = kGroup;
    tx.port = kAnnouncePort;
    if (!tx.create_udp_send_socket())
        return false;
    tx.ip_addr = kLoopback;  // the interface to send from; the destination stays the group
    return tx.mcast_set_if() == 0 && tx.mcast_set_ttl(0) == 0 && tx.mcast_set_loopback(1) == 0 &&
           tx.SetSendTimeout(kAnnounceBoundMs) == 1;
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

// The directory holding `path`: its identity keys the settings lock, so a
// restart after a crash finds the set it left.
std::string directory_of(const char* path)
{
    const std::string text(path);
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
}

int fail(const std::string& why)
{
    std::fprintf(stderr, "fieldkit-demo: %s\n", why.c_str());
    return 1;
}

int fail_errno(const std::string& what, int error)
{
    return fail(what + ": " + std::strerror(error));
}

void report_started(int listener, const char* path, const demo::config_store& store)
{
    if (listener != -1)
        std::printf("fieldkit-demo: serving on the passed socket (descriptor %d)", listener);
    else
        std::printf("fieldkit-demo: serving on %s (mode %04o)", path, static_cast<unsigned>(kSocketMode));
    std::printf(", %d slots (%d per user), %d reading threads, lock semaphore set %d\n", kServeSlots, kServePerUser,
                kReadingThreads, store.lock_set());
    std::fflush(stdout);
}

const char* signal_name(int signal_number)
{
    switch (signal_number) {
    case SIGINT: return "SIGINT";
    case SIGQUIT: return "SIGQUIT";
    case SIGTERM: return "SIGTERM";
    default: return "a failed signal wait";
    }
}

// Waits for a stop signal. SIGHUP keeps the daemon serving: its settings
// live in memory only, and a closed terminal or a reload request must not
// lose them. Output that fails (its reader gone) is ignored.
int wait_for_stop(demo::stop_signals& signals)
{
    for (;;) {
        const int signal_number = signals.wait();
        if (signal_number != SIGHUP)
            return signal_number;
        std::printf("fieldkit-demo: SIGHUP: nothing to reload, still serving\n");
        std::fflush(stdout);
    }
}

// Hands `server`'s messages and connection events to `daemon`, on two
// reading threads; before the server starts, so that every connection has its
// record.
void use_daemon(JTCPServer& server, demo::config_daemon& daemon)
{
    server.SetApp(&daemon);
    server.SetConnectionEvents(&daemon);
    server.SetReadingThreads(kReadingThreads);
}

// Runs until SIGTERM, SIGINT or SIGQUIT; 0 after a clean stop. Every start
// failure says why and gives 1. Whatever way serve() returns, the objects
// below remove what the daemon made: the server its connections, the
// listener the socket file it bound, the store its semaphore set.
int serve(const options& opt)
{
    demo::stop_signals signals;  // before any thread starts
    if (!signals.usable())
        return fail_errno("cannot wait for signals", errno);
    JSocket announcer;
    const bool announcing = opt.multicast || opt.announce_path;
    if (announcing && !open_announcer(opt.multicast, opt.announce_path, announcer))
        return fail_errno("cannot open the announcement channel", errno);
    demo::bound_listener own;
    int listener = demo::inherited_listener();
    const bool bind_own = listener == -1;
    if (bind_own && !own.open(opt.serve_path, kSocketMode, kServeSlots))
        return fail(own.why());
    const std::string lock_path = directory_of(opt.serve_path);
    demo::config_store store(announcing ? &announcer : nullptr, lock_path.c_str());
    if (!store.usable())
        return fail_errno("cannot create the settings lock keyed by " + lock_path, store.lock_error());

    JTCPServer server;
    demo::config_daemon daemon(server, store);
    use_daemon(server, daemon);
    server.SetIdleTimeout(kServeIdleMs);
    server.SetConnectionsPerUser(kServePerUser);
    server.SetSendBufferLimit(kServeSendBufferBytes);
    server.SetSendTimeout(kServeSendBoundMs);
    const int serving = bind_own ? own.release() : listener;
    if (server.StartServerOnListener(serving, kServeSlots) != 1) {
        close(serving);
        return fail("cannot serve on the listening socket: not a listening local stream socket, or no memory");
    }
    report_started(bind_own ? -1 : listener, opt.serve_path, store);

    const int signal_number = wait_for_stop(signals);
    server.Cleanup();  // workers stopped, connections closed (their OnClose) while the daemon lives
    std::printf("fieldkit-demo: stopped by %s after %d requests, %d change announcements dropped\n",
                signal_name(signal_number), daemon.answered(), store.dropped());
    std::fflush(stdout);
    return 0;
}

// ---- The self-contained run: the daemon and its own clients ---------------

// How one batch of requests came back.
enum class reply_kind { right, wrong, late, cut_short };

struct client_result {
    int wrong = 0;      // all reply lines came, in time, but not the expected ones
    int late = 0;       // not all came within the wait; the connection is then replaced
    int cut_short = 0;  // the connection ended (or a send failed) before all came
    int connections = 0;
    std::vector<double> round_trips_us;
};

// True when the peer has ended the connection: readable, yet nothing to read.
bool ended(JSocket& link)
{
    char byte = 0;
    return link.check_read(0, -1, 0) > 0 && recv(link.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// Reads until `lines` reply lines have arrived, the connection ends or a
// read waits longer than `wait_ms`; what came and how it ended.
reply_kind read_lines(JSocket& link, int lines, int wait_ms, std::string& text)
{
    Message piece;
    while (std::count(text.begin(), text.end(), '\n') < lines) {
        if (!link.ReceiveMessage(&piece, static_cast<unsigned short>(wait_ms), -1))
            return ended(link) ? reply_kind::cut_short : reply_kind::late;
        text.append(piece.data, piece.length);
    }
    return reply_kind::right;
}

// Sends `requests` in one write and checks the replies against `expected`.
reply_kind ask(JSocket& link, const std::string& requests, const std::string& expected, int wait_ms,
               client_result& out)
{
    const auto start = std::chrono::steady_clock::now();
    if (!link.SendMessage(const_cast<char*>(requests.data()), requests.size(), -1))
        return reply_kind::cut_short;
    std::string replies;
    const reply_kind kind =
        read_lines(link, static_cast<int>(std::count(expected.begin(), expected.end(), '\n')), wait_ms, replies);
    out.round_trips_us.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    return kind == reply_kind::right && replies != expected ? reply_kind::wrong : kind;
}

// A client program: asks and changes in batches of three lines, checks every
// reply, and reconnects now and then so that the server keeps accepting. After
// a late reply or an ended connection it reconnects at once: a late reply
// would otherwise be taken for the next batch's.
void run_client(const std::string& path, int id, int requests, int wait_ms, client_result& out)
{
    JSocket link;
    const std::string key = "client" + std::to_string(id);
    bool reconnect = true;
    for (int r = 0; r < requests; ++r) {
        if (reconnect || r % kRequestsPerConnection == 0) {
            link.InitializeSocket(path.c_str(), TCP_CLIENT, 0);  // closes the previous connection
            out.connections += link.connected;
        }
        const std::string value = std::to_string(r);
        const reply_kind kind = ask(link, "GET port\nSET " + key + " " + value + "\nGET " + key + "\n",
                                    "OK 8080\nOK\nOK " + value + "\n", wait_ms, out);
        out.wrong += kind == reply_kind::wrong;
        out.late += kind == reply_kind::late;
        out.cut_short += kind == reply_kind::cut_short;
        reconnect = kind == reply_kind::late || kind == reply_kind::cut_short;
    }
}

struct run_result {
    client_result replies;
    int served = 0;
    int dropped = 0;
};

run_result serve_own_clients(const options& opt, const std::string& path, demo::config_store& store)
{
    JTCPServer server;
    demo::config_daemon daemon(server, store);
    use_daemon(server, daemon);
    // A slot for every client: none waits in the backlog when it reconnects.
    if (server.StartServer(path.c_str(), std::max(kSlots, opt.clients)) != 1)
        return {};

    std::vector<client_result> results(static_cast<size_t>(opt.clients));
    std::vector<std::thread> clients;
    for (int i = 0; i < opt.clients; ++i)
        clients.emplace_back(run_client, path, i, opt.requests, opt.reply_wait_ms, std::ref(results[static_cast<size_t>(i)]));
    for (auto& c : clients)
        c.join();
    server.Cleanup();  // the workers leave, and the connections close, before the daemon object goes

    run_result total;
    client_result& sum = total.replies;
    for (const auto& r : results) {
        sum.wrong += r.wrong;
        sum.late += r.late;
        sum.cut_short += r.cut_short;
        sum.connections += r.connections;
        sum.round_trips_us.insert(sum.round_trips_us.end(), r.round_trips_us.begin(), r.round_trips_us.end());
    }
    total.served = daemon.answered();
    total.dropped = store.dropped();
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
    const client_result& r = run.replies;
    const int expected = opt.clients * opt.requests * 3;
    const bool right = r.wrong == 0 && r.late == 0 && r.cut_short == 0 && run.served == expected;
    std::printf("fieldkit-demo: %d clients, %d connections accepted, %d requests served (%d expected)\n",
                opt.clients, r.connections, run.served, expected);
    std::printf("round trip of three pipelined requests: median %.0f us, p99 %.0f us\n",
                percentile(r.round_trips_us, 0.5), percentile(r.round_trips_us, 0.99));
    std::printf("%d change announcements received via %s, %d dropped\n", announcements,
                opt.multicast ? "IPv4 multicast on loopback" : "a local datagram socket", run.dropped);
    if (right)
        std::printf("every reply was right\n");
    else
        std::printf("SOME REPLIES WERE NOT RIGHT: %d wrong, %d late (over %d ms), %d cut short\n", r.wrong, r.late,
                    opt.reply_wait_ms, r.cut_short);
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
        demo::config_store store(&announcer, dir);
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
