#include <fieldkit/net/JSocket.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using fktest::kLoopback;

constexpr unsigned int kGroup = 0xEF010203u;      // 239.1.2.3
constexpr unsigned int kBroadcast = 0xFFFFFFFFu;  // 255.255.255.255
constexpr unsigned int kHostA = 0xC6336401u;      // 198.51.100.1
constexpr unsigned int kHostB = 0xC6336402u;      // 198.51.100.2
constexpr unsigned int kNoSuchHost = 0xC6336463u; // 198.51.100.99, held by no interface
constexpr unsigned short kArrives = 5000;          // ms; generous for qemu and sanitizers
constexpr unsigned short kStaysAway = 300;         // ms to wait for a datagram that must not come
const std::string kNothing = "<nothing>";

int Send(JSocket& s, const std::string& bytes)
{
    return s.SendMessage(const_cast<char*>(bytes.data()), bytes.size(), -1);
}

// The next datagram on s, or kNothing when none came within timeout_ms.
std::string Receive(JSocket& s, unsigned short timeout_ms)
{
    Message m;
    return s.ReceiveMessage(&m, timeout_ms, -1) ? std::string(m.data, m.length) : kNothing;
}

// Sets the fields of an IPv4 datagram socket that is still to be opened.
void Aim(JSocket& s, unsigned int ip, int port, unsigned int mcast_if = 0)
{
    s.type = UDP_SOCKET;
    s.ip_addr = ip;
    s.port = port;
    s.mcast_if = mcast_if;
}

sockaddr_in BoundAddress(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return a;
}

int IpOption(int fd, int option)
{
    int value = -1;
    socklen_t len = sizeof value;
    getsockopt(fd, IPPROTO_IP, option, &value, &len);
    return value;
}

// A datagram socket holding 127.0.0.1:port, or -1.
int TakeLoopbackPort(int port)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// False under qemu-user 7.2, which does not forward IP_MULTICAST_IF and
// answers ENOPROTOOPT, something a Linux kernel never does for this option.
bool MulticastIfForwarded()
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    in_addr any{};
    const bool forwarded = setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &any, sizeof any) == 0 || errno != ENOPROTOOPT;
    close(s);
    return forwarded;
}

// ---- local (path-named) datagram sockets ----

TEST(JSocketDatagram, LocalDatagramsArriveWholeUpTo2048BytesAndTheReceiverOwnsItsPath)
{
    fktest::TempDir dir;
    const std::string path = dir.path("rx");
    const int descriptors = fktest::OpenDescriptorCount();
    {
        auto receiver = std::make_unique<JSocket>(path.c_str(), UDP_SOCKET, UDP_RECEIVE);
        ASSERT_NE(receiver->fd, -1);
        EXPECT_TRUE(fktest::PathExists(path));
        EXPECT_EQ(receiver->direction, UDP_RECEIVE);
        EXPECT_EQ(receiver->addr, reinterpret_cast<sockaddr*>(&receiver->addr_un));
        EXPECT_EQ(receiver->addr_len, static_cast<int>(path.size()) + 2);
        EXPECT_EQ(receiver->addr_in_ptr, nullptr);
        {
            JSocket sender;
            ASSERT_EQ(sender.InitializeSocket(path.c_str(), UDP_SOCKET, UDP_SEND), 1);
            EXPECT_EQ(sender.direction, UDP_SEND);
            EXPECT_STREQ(sender.addr_un.sun_path, path.c_str());

            EXPECT_EQ(Send(sender, "first"), 1);
            EXPECT_EQ(Send(sender, "second"), 1);
            EXPECT_EQ(Receive(*receiver, kArrives), "first");
            EXPECT_EQ(Receive(*receiver, kArrives), "second");

            std::string big(3000, '\0');
            for (std::size_t i = 0; i < big.size(); ++i)
                big[i] = static_cast<char>(i * 7 % 251);
            EXPECT_EQ(Send(sender, big), 1);
            EXPECT_EQ(Receive(*receiver, kArrives), big.substr(0, 2048));
            EXPECT_EQ(Receive(*receiver, 0), kNothing) << "the cut-off rest must be gone";
        }
        EXPECT_TRUE(fktest::PathExists(path)) << "a sender must not remove the receiver's path";
        receiver.reset();
        EXPECT_FALSE(fktest::PathExists(path));
    }
    EXPECT_EQ(fktest::OpenDescriptorCount(), descriptors);
}

TEST(JSocketDatagram, LocalReceiverReplacesAStaleFileWhileASenderLeavesItsPathAlone)
{
    fktest::TempDir dir;
    const std::string path = dir.path("stale");
    std::ofstream(path) << "left over";
    {
        JSocket sender;
        // Every direction but 2 sends.
        ASSERT_EQ(sender.InitializeSocket(path.c_str(), UDP_SOCKET, 7), 1);
        EXPECT_EQ(sender.direction, UDP_SEND);
        EXPECT_EQ(Send(sender, "nobody listens"), 0);
    }
    EXPECT_TRUE(fktest::PathExists(path));

    JSocket receiver(path.c_str(), UDP_SOCKET, UDP_RECEIVE);
    ASSERT_NE(receiver.fd, -1);
    JSocket sender(path.c_str(), UDP_SOCKET, UDP_SEND);
    EXPECT_EQ(Send(sender, "fresh"), 1);
    EXPECT_EQ(Receive(receiver, kArrives), "fresh");
}

TEST(JSocketDatagram, LocalNameIsCutTo107CharactersAndReopeningReplacesTheSocket)
{
    fktest::TempDir dir;
    std::string name = dir.path("");
    name += std::string(107 - name.size(), 'p');
    const std::string bound = name;
    name += "-beyond";
    JSocket receiver;
    receiver.type = UDP_SOCKET;
    receiver.local = true;
    std::strcpy(receiver.name, name.c_str());
    ASSERT_EQ(receiver.create_udp_receive_socket(), 1);
    EXPECT_EQ(receiver.addr_len, 109);
    EXPECT_TRUE(fktest::PathExists(bound));

    // Opening again replaces the socket: the earlier descriptor is closed first.
    const int descriptors = fktest::OpenDescriptorCount();
    EXPECT_EQ(receiver.create_udp_send_socket(), 1);
    EXPECT_EQ(receiver.direction, UDP_SEND);
    EXPECT_EQ(fktest::OpenDescriptorCount(), descriptors);
}

// ---- IPv4 on 127.0.0.1 ----

TEST(JSocketDatagram, IPv4ReceiverAnswersTheSenderOfTheLastDatagram)
{
    const int port = fktest::FreeLoopbackPort(SOCK_DGRAM);
    JSocket receiver, sender;
    Aim(receiver, kLoopback, port);
    Aim(sender, kLoopback, port);
    ASSERT_EQ(receiver.create_udp_receive_socket(), 1);
    ASSERT_EQ(sender.create_udp_send_socket(), 1);
    EXPECT_EQ(receiver.direction, UDP_RECEIVE);
    EXPECT_EQ(sender.direction, UDP_SEND);
    for (JSocket* s : {&receiver, &sender}) {
        EXPECT_EQ(s->addr_in_ptr, &s->addr_in);
        EXPECT_EQ(s->addr, reinterpret_cast<sockaddr*>(&s->addr_in));
        EXPECT_EQ(s->addr_len, 16);
        EXPECT_EQ(s->addr_in.sin_family, AF_INET);
        EXPECT_EQ(s->addr_in.sin_addr.s_addr, htonl(kLoopback));
        EXPECT_EQ(s->addr_in.sin_port, htons(static_cast<uint16_t>(port)));
    }
    const sockaddr_in bound = BoundAddress(receiver.fd);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(kLoopback));
    EXPECT_EQ(bound.sin_port, htons(static_cast<uint16_t>(port)));
    EXPECT_EQ(BoundAddress(sender.fd).sin_port, 0) << "a sender is never bound";
    EXPECT_EQ(IpOption(sender.fd, IP_MULTICAST_LOOP), 1) << "a unicast sender sets no option";

    EXPECT_EQ(Send(sender, "ping"), 1);
    EXPECT_EQ(Receive(receiver, kArrives), "ping");
    const sockaddr_in ephemeral = BoundAddress(sender.fd);
    ASSERT_NE(ephemeral.sin_port, 0);
    EXPECT_EQ(receiver.addr_in.sin_port, ephemeral.sin_port);

    EXPECT_EQ(Send(receiver, "pong"), 1);
    EXPECT_EQ(Receive(sender, kArrives), "pong");
    EXPECT_EQ(Send(sender, "again"), 1) << "the sender still aims at the receiver";
    EXPECT_EQ(Receive(receiver, kArrives), "again");
}

// Option calls here send nothing: no group is joined outside the test's own namespaces.
TEST(JSocketDatagram, MulticastOptionsReturnSetsockoptResults)
{
    JSocket closed;
    EXPECT_EQ(closed.mcast_set_ttl(4), -1);
    EXPECT_EQ(closed.mcast_set_loopback(1), -1);
    EXPECT_EQ(closed.mcast_set_if(), -1);
    EXPECT_EQ(closed.mcast_join(kGroup, 0), -1);

    JSocket sender;
    Aim(sender, kGroup, 5000);
    ASSERT_EQ(sender.create_udp_send_socket(), 1);
    EXPECT_EQ(sender.addr_in.sin_addr.s_addr, htonl(kGroup)) << "a sender aims at the group itself";
    EXPECT_EQ(IpOption(sender.fd, IP_MULTICAST_LOOP), 0) << "a group sender switches loopback off";

    EXPECT_EQ(sender.mcast_set_ttl(4), 0);
    EXPECT_EQ(IpOption(sender.fd, IP_MULTICAST_TTL), 4);
    EXPECT_EQ(sender.mcast_set_loopback(1), 0);
    EXPECT_EQ(IpOption(sender.fd, IP_MULTICAST_LOOP), 1);

    // The kernel checks the group before it looks for the interface, so ENODEV
    // (rather than EINVAL) shows that the group went in as a multicast address.
    errno = 0;
    EXPECT_EQ(sender.mcast_join(kGroup, kNoSuchHost), -1);
    EXPECT_EQ(errno, ENODEV);
    errno = 0;
    EXPECT_EQ(sender.mcast_join(kLoopback, 0), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(JSocketDatagram, MulticastInterfaceIsChosenByAddressWithoutMovingTheDestination)
{
    if (!MulticastIfForwarded())
        GTEST_SKIP() << "this emulator does not forward IP_MULTICAST_IF (ENOPROTOOPT); "
                        "mcast_set_if can only pass that failure on";
    JSocket sender;
    Aim(sender, kGroup, 5000);
    ASSERT_EQ(sender.create_udp_send_socket(), 1);
    sender.ip_addr = kLoopback;
    EXPECT_EQ(sender.mcast_set_if(), 0);
    in_addr iface{};
    socklen_t len = sizeof iface;
    ASSERT_EQ(getsockopt(sender.fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, &len), 0);
    EXPECT_EQ(iface.s_addr, htonl(kLoopback));
    EXPECT_EQ(sender.addr_in.sin_addr.s_addr, htonl(kGroup)) << "the destination stays";
    sender.ip_addr = kNoSuchHost;
    EXPECT_EQ(sender.mcast_set_if(), -1);
}

// The three slow set-ups run side by side, so the test lasts about 10 s, not 25.
TEST(JSocketDatagram, SetUpRetriesEverySecondAndGivesUpAfterTheEleventhAttempt)
{
    using namespace std::chrono;
    const int descriptors = fktest::OpenDescriptorCount();
    const int taken_port = fktest::FreeLoopbackPort(SOCK_DGRAM);
    const int freed_port = fktest::FreeLoopbackPort(SOCK_DGRAM);
    const int taken = TakeLoopbackPort(taken_port);
    const int freed_late = TakeLoopbackPort(freed_port);
    ASSERT_NE(taken, -1);
    ASSERT_NE(freed_late, -1);

    const auto start = steady_clock::now();
    auto create = [start](JSocket& s) {
        const int result = s.create_udp_receive_socket();
        return std::make_pair(result, duration_cast<milliseconds>(steady_clock::now() - start).count());
    };
    JSocket busy, broadcast, patient;
    Aim(busy, kLoopback, taken_port);
    Aim(broadcast, kBroadcast, fktest::FreeLoopbackPort(SOCK_DGRAM));  // counts as a group; the join fails
    Aim(patient, kLoopback, freed_port);
    auto busy_done = std::async(std::launch::async, create, std::ref(busy));
    auto broadcast_done = std::async(std::launch::async, create, std::ref(broadcast));
    auto patient_done = std::async(std::launch::async, create, std::ref(patient));
    std::this_thread::sleep_for(milliseconds(2500));
    close(freed_late);

    const auto patient_result = patient_done.get();
    EXPECT_EQ(patient_result.first, 1);
    EXPECT_GE(patient_result.second, 2000) << "two failed attempts pause a second each";
    EXPECT_NE(patient.fd, -1);
    for (auto* done : {&busy_done, &broadcast_done}) {
        const auto result = done->get();
        EXPECT_EQ(result.first, 0);
        EXPECT_GE(result.second, 9500) << "ten pauses of a second";
    }
    EXPECT_EQ(busy.fd, -1);
    EXPECT_EQ(broadcast.fd, -1);
    close(taken);
    patient.ResetSocket();
    EXPECT_EQ(fktest::OpenDescriptorCount(), descriptors) << "every failed attempt closes its socket";
}

// ---- multicast between two hosts (network namespaces) ----

// Runs a shell command; empty when it succeeded, else the command and its output.
std::string Run(const std::string& command)
{
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return command + ": cannot start";
    std::string output;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p))
        output += buf;
    return pclose(p) == 0 ? std::string() : command + ": " + output;
}

// Why the namespace test cannot run here, or empty when it can.
std::string NamespacesUnavailable()
{
    if (geteuid() != 0)
        return "needs root to create network namespaces";
    if (!Run("ip netns list").empty())
        return "needs the ip command with netns support (iproute2)";
    return {};
}

constexpr char kNsPrefix[] = "fkmc-";

// Removes namespaces "fkmc-<pid>-…" left by runs that died before cleaning up.
void RemoveOrphanedNamespaces()
{
    DIR* d = opendir("/var/run/netns");
    if (!d)
        return;
    std::vector<std::string> orphans;
    while (dirent* e = readdir(d)) {
        const std::string ns = e->d_name;
        if (ns.rfind(kNsPrefix, 0) != 0)
            continue;
        const int pid = std::atoi(ns.c_str() + sizeof kNsPrefix - 1);
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
            orphans.push_back(ns);
    }
    closedir(d);
    for (const std::string& ns : orphans)
        Run("ip netns del " + ns);
}

// Two hosts of this process, network namespaces joined by a veth pair:
// A at 198.51.100.1, B at 198.51.100.2, each routing 224.0.0.0/4 to the link.
// The destructor removes both (and so the link), also when the test failed.
class TwoHosts {
public:
    TwoHosts()
    {
        RemoveOrphanedNamespaces();
        const std::string pid = std::to_string(getpid());
        a_ = kNsPrefix + pid + "-a";
        b_ = kNsPrefix + pid + "-b";
        const std::string link_a = "fkmcA" + pid, link_b = "fkmcB" + pid;
        const std::vector<std::string> steps = {
            "ip netns add " + a_,
            "ip netns add " + b_,
            "ip link add " + link_a + " netns " + a_ + " type veth peer name " + link_b + " netns " + b_,
            "ip -n " + a_ + " addr add 198.51.100.1/24 dev " + link_a,
            "ip -n " + b_ + " addr add 198.51.100.2/24 dev " + link_b,
            "ip -n " + a_ + " link set " + link_a + " up",
            "ip -n " + b_ + " link set " + link_b + " up",
            "ip -n " + a_ + " route add 224.0.0.0/4 dev " + link_a,
            "ip -n " + b_ + " route add 224.0.0.0/4 dev " + link_b,
        };
        for (const std::string& step : steps)
            if (error_.empty())
                error_ = Run(step);
    }
    ~TwoHosts()
    {
        Run("ip netns del " + a_);
        Run("ip netns del " + b_);
    }
    TwoHosts(const TwoHosts&) = delete;
    TwoHosts& operator=(const TwoHosts&) = delete;

    const std::string& error() const { return error_; }

    // Runs fn on a thread inside host 'a' or 'b'; sockets it opens stay in
    // that host wherever they are used later. Empty, or why it could not enter.
    std::string In(char host, const std::function<void()>& fn) const
    {
        const std::string path = "/var/run/netns/" + (host == 'a' ? a_ : b_);
        std::string failure;
        std::thread t([&] {
            const int ns = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (ns == -1 || setns(ns, CLONE_NEWNET) != 0)
                failure = "cannot enter " + path + ": " + std::strerror(errno);
            else
                fn();
            if (ns != -1)
                close(ns);
        });
        t.join();
        return failure;
    }

private:
    std::string a_, b_, error_;
};

TEST(JSocketDatagram, MulticastReachesTheOtherHostButNotTheSendersOwn)
{
    const std::string unavailable = NamespacesUnavailable();
    if (!unavailable.empty())
        GTEST_SKIP() << "multicast between two hosts skipped: " << unavailable;
    TwoHosts hosts;
    ASSERT_EQ(hosts.error(), "");

    const int port = 5000;
    JSocket receiver, neighbour, sender;  // receiver on A; neighbour and sender on B
    Aim(receiver, kGroup, port);
    Aim(neighbour, kGroup, port, kHostB);
    Aim(sender, kGroup, port);
    int opened = 0;
    ASSERT_EQ(hosts.In('a', [&] { opened += receiver.create_udp_receive_socket(); }), "");
    ASSERT_EQ(hosts.In('b', [&] {
        opened += neighbour.create_udp_receive_socket();
        opened += sender.create_udp_send_socket();
    }), "");
    ASSERT_EQ(opened, 3);

    const sockaddr_in bound = BoundAddress(receiver.fd);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY)) << "a group receiver listens on every interface";
    EXPECT_EQ(bound.sin_port, htons(port));
    EXPECT_EQ(IpOption(sender.fd, IP_MULTICAST_LOOP), 0);

    EXPECT_EQ(Send(sender, "to the group"), 1);
    EXPECT_EQ(Receive(receiver, kArrives), "to the group");
    EXPECT_EQ(Receive(neighbour, kStaysAway), kNothing) << "loopback is off for a group sender";

    // Options: interface by its address (the destination stays the group; under
    // qemu the emulator's refusal is passed on), hop limit.
    sender.ip_addr = kHostB;
    EXPECT_EQ(sender.mcast_set_if(), MulticastIfForwarded() ? 0 : -1);
    EXPECT_EQ(sender.mcast_set_ttl(4), 0);
    sender.ip_addr = kHostA;
    EXPECT_EQ(sender.mcast_set_if(), -1) << "198.51.100.1 is not an address of host B";
    EXPECT_EQ(Send(sender, "after options"), 1);
    EXPECT_EQ(Receive(receiver, kArrives), "after options");

    // With loopback back on, the neighbour does hear it: the silence above was loopback's.
    EXPECT_EQ(sender.mcast_set_loopback(1), 0);
    EXPECT_EQ(Send(sender, "looped"), 1);
    EXPECT_EQ(Receive(neighbour, kArrives), "looped");
    EXPECT_EQ(Receive(receiver, kArrives), "looped");

    // The receiver answers the sender's own address and port; having received,
    // the sender in turn now aims at the receiver, no longer at the group.
    EXPECT_EQ(Send(receiver, "answer"), 1);
    EXPECT_EQ(Receive(sender, kArrives), "answer");
    EXPECT_EQ(receiver.addr_in.sin_addr.s_addr, htonl(kHostB));
    EXPECT_EQ(sender.addr_in.sin_addr.s_addr, htonl(kHostA));
    EXPECT_EQ(Send(sender, "direct"), 1);
    EXPECT_EQ(Receive(receiver, kArrives), "direct");
    EXPECT_EQ(Receive(neighbour, kStaysAway), kNothing);
}

}  // namespace
