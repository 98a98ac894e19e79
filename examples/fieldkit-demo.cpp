// SPDX-License-Identifier: MIT
// fieldkit-demo: a small configuration daemon built from the whole library, the
// way an embedded product would use it.
//
// The daemon keeps its settings as "key: value" lines in a JStringArray, serves
// them on a local stream socket through a JTCPServer, guards them with a
// CriticalSection and announces every change as a datagram (to a local path,
// or with --multicast to an IPv4 group on the loopback interface). In the same
// run a few client threads query and change settings over their own JSocket
// connections, as separate programs would. It prints a summary and exits 0
// only when every reply was right.
//
//   fieldkit-demo [--multicast] [--clients N] [--requests N]

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

#include <unistd.h>

namespace {

constexpr unsigned int kGroup = 0xEFFF2A2Au;  // 239.255.42.42
constexpr unsigned int kLoopback = 0x7F000001u;
constexpr int kAnnouncePort = 47011;

struct Options {
    bool multicast = false;
    int clients = 4;
    int requests = 150;
};

// The daemon: answers "GET key" and "SET key value" on the connection the
// request came from. OnMessage runs on the server's reading thread.
class ConfigDaemon : public JStdApp {
public:
    ConfigDaemon(JTCPServer& server, JSocket& announcer) : server_(server), announcer_(announcer)
    {
        settings_.AddString("name: fieldkit-box");
        settings_.AddString("port: 8080");
        settings_.AddString("mode: auto");
    }

    int OnMessage(TCPMessage* m) override
    {
        const std::string text(m->data, m->length);
        JString request(text.c_str());
        const JString reply = Answer(request.ExtractWord(1), request.ExtractWord(2), request.ExtractWord(3));
        m->SetMessage(reply.GetBuffer(), reply.GetLength());  // the reply keeps m's connection
        server_.SendMessage(m);
        served_.fetch_add(1);
        return 0;
    }

    int Served() const { return served_.load(); }

private:
    JString Answer(JString verb, JString key, JString value)
    {
        if (!lock_.Lock(1000))
            return "ERR busy";
        JString reply = "ERR bad request";
        if (verb.CompareNoCase("GET") == 0 && key.GetLength() > 0) {
            const JString line = settings_.FindStringinStringNoCase(key, 0);
            reply = line.GetLength() ? "OK " + settings_.FindStringinStringNoCase(key, 1) : "ERR unknown key";
        } else if (verb.CompareNoCase("SET") == 0 && value.GetLength() > 0) {
            Store(key, value);
            reply = "OK";
        }
        lock_.Unlock();
        return reply;
    }

    // Replaces the line of `key` (or adds one) and announces the change.
    void Store(const JString& key, const JString& value)
    {
        const JString prefix = key + ": ";
        for (int i = 0; i < settings_.GetCount(); ++i) {
            if (settings_.ReadString(i).Find(prefix) == 0) {
                settings_.RemoveString(i);
                break;
            }
        }
        settings_.AddString(prefix + value);
        JString note = "changed " + prefix + value;
        announcer_.SendMessage(note.GetBuffer(), note.GetLength(), -1);
    }

    JTCPServer& server_;
    JSocket& announcer_;
    JStringArray settings_;
    CriticalSection lock_;
    std::atomic<int> served_{0};
};

// A client program: connects, asks and changes, checks every reply, and
// reconnects every 50 requests so the server keeps accepting.
struct ClientResult {
    int wrong = 0;
    int connections = 0;
    std::vector<double> round_trips_us;
};

bool Ask(JSocket& link, const std::string& request, const std::string& expected, ClientResult& out)
{
    const auto start = std::chrono::steady_clock::now();
    Message reply;
    const bool ok = link.SendMessage(const_cast<char*>(request.data()), request.size(), -1) &&
                    link.ReceiveMessage(&reply, 2000, -1);
    out.round_trips_us.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    return ok && std::string(reply.data, reply.length) == expected;
}

void RunClient(const std::string& path, int id, int requests, ClientResult& out)
{
    JSocket link;
    for (int r = 0; r < requests; ++r) {
        if (r % 50 == 0) {
            link.InitializeSocket(path.c_str(), TCP_CLIENT, 0);  // closes the previous connection
            out.connections += link.connected;
        }
        const std::string key = (id < 10 ? "client0" : "client") + std::to_string(id);  // no key inside another
        const std::string value = std::to_string(r);
        bool right = Ask(link, "GET port", "OK 8080", out);
        right = Ask(link, "SET " + key + " " + value, "OK", out) && right;
        right = Ask(link, "GET " + key, "OK " + value, out) && right;
        out.wrong += !right;
    }
}

// The announcement channel: a datagram receiver and the daemon's sender.
bool OpenAnnouncements(const Options& opt, const std::string& path, JSocket& rx, JSocket& tx)
{
    if (!opt.multicast) {
        rx.InitializeSocket(path.c_str(), UDP_SOCKET, UDP_RECEIVE);
        tx.InitializeSocket(path.c_str(), UDP_SOCKET, UDP_SEND);
        return rx.fd != -1 && tx.fd != -1;
    }
    rx.type = tx.type = UDP_SOCKET;
    rx.ip_addr = tx.ip_addr = kGroup;
    rx.port = tx.port = kAnnouncePort;
    rx.mcast_if = kLoopback;  // join on the loopback interface only
    if (!rx.create_udp_receive_socket() || !tx.create_udp_send_socket())
        return false;
    tx.ip_addr = kLoopback;  // the interface to send from; the destination stays the group
    return tx.mcast_set_if() == 0 && tx.mcast_set_ttl(0) == 0 && tx.mcast_set_loopback(1) == 0;
}

Options ParseOptions(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--multicast") == 0)
            opt.multicast = true;
        else if (std::strcmp(argv[i], "--clients") == 0 && i + 1 < argc)
            opt.clients = std::clamp(std::atoi(argv[++i]), 1, 99);
        else if (std::strcmp(argv[i], "--requests") == 0 && i + 1 < argc)
            opt.requests = std::clamp(std::atoi(argv[++i]), 1, 100000);
    }
    return opt;
}

double Percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv)
{
    const Options opt = ParseOptions(argc, argv);
    char dir[] = "/tmp/fieldkit-demo-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    const std::string server_path = std::string(dir) + "/config.sock";
    const std::string announce_path = std::string(dir) + "/changes.sock";

    JSocket announce_rx, announce_tx;
    if (!OpenAnnouncements(opt, announce_path, announce_rx, announce_tx)) {
        std::printf("could not open the announcement channel\n");
        return 1;
    }
    std::atomic<bool> stop{false};
    std::atomic<int> announcements{0};
    std::thread listener([&] {
        Message note;
        while (!stop.load())
            announcements += announce_rx.ReceiveMessage(&note, 100, -1);
    });

    int wrong = 0, connections = 0;
    std::vector<double> round_trips;
    int served = 0;
    {
        JTCPServer server(server_path.c_str(), 8);  // listens and starts both threads
        ConfigDaemon daemon(server, announce_tx);
        server.SetApp(&daemon);

        std::vector<ClientResult> results(static_cast<size_t>(opt.clients));
        std::vector<std::thread> clients;
        for (int i = 0; i < opt.clients; ++i)
            clients.emplace_back(RunClient, server_path, i, opt.requests, std::ref(results[static_cast<size_t>(i)]));
        for (auto& c : clients)
            c.join();
        for (const auto& r : results) {
            wrong += r.wrong;
            connections += r.connections;
            round_trips.insert(round_trips.end(), r.round_trips_us.begin(), r.round_trips_us.end());
        }
        server.StopThread();  // workers leave before the daemon object goes
        served = daemon.Served();
    }
    Sleep(200);  // let the last announcements arrive
    stop = true;
    listener.join();
    announce_rx.ResetSocket();
    rmdir(dir);

    const int expected = opt.clients * opt.requests * 3;
    std::printf("fieldkit-demo: %d clients, %d connections accepted, %d requests served (%d expected)\n",
                opt.clients, connections, served, expected);
    std::printf("round trip: median %.0f us, p99 %.0f us; %d change announcements received via %s\n",
                Percentile(round_trips, 0.5), Percentile(round_trips, 0.99), announcements.load(),
                opt.multicast ? "IPv4 multicast on loopback" : "a local datagram socket");
    std::printf("%s\n", wrong == 0 && served == expected ? "every reply was right" : "SOME REPLIES WERE WRONG");
    return wrong == 0 && served == expected ? 0 : 1;
}
