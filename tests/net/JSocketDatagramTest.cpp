#include <fieldkit/core/Clock.h>
#include <fieldkit/net/JSocket.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace {

using fktest::kLoopback;

constexpr unsigned int kGroup = 0xEF010203u;      // 239.1.2.3
constexpr unsigned int kHostA = 0xC6336401u;      // 198.51.100.1
constexpr unsigned int kHostB = 0xC6336402u;      // 198.51.100.2
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
void Aim(JSocket& s, unsigned int ip, int port)
{
    s.type = UDP_SOCKET;
    s.ip_addr = ip;
    s.port = port;
}

TEST(JSocketDatagram, LocalDatagramsAreCutTo2048AndTheReceiverOwnsItsPath)
{
    fktest::TempDir dir;
    const std::string path = dir.path("rx");
    close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));  // a stale file the receiver replaces
    const int descriptors = fktest::OpenDescriptorCount();
    {
        JSocket early;  // every direction but 2 sends
        ASSERT_EQ(early.InitializeSocket(path.c_str(), UDP_SOCKET, 7), 1);
        EXPECT_EQ(Send(early, "nobody listens"), 0);
    }
    EXPECT_TRUE(fktest::PathExists(path));
    {
        JSocket receiver(path.c_str(), UDP_SOCKET, UDP_RECEIVE);
        ASSERT_NE(receiver.fd, -1);
        JSocket sender(path.c_str(), UDP_SOCKET, UDP_SEND);
        const std::string big = fktest::Pattern(3000);
        EXPECT_EQ(Send(sender, big), 1);
        EXPECT_EQ(Receive(receiver, kArrives), big.substr(0, 2048));
        EXPECT_EQ(Receive(receiver, 0), kNothing) << "the cut-off rest must be gone";
        EXPECT_EQ(Send(sender, ""), 0);  // an empty datagram travels but counts as nothing sent
        char buf[8];
        EXPECT_EQ(receiver.ReceiveMessage(buf, sizeof buf, kArrives, -1), 0);
        sender.ResetSocket();
        EXPECT_TRUE(fktest::PathExists(path)) << "a sender must not remove the receiver's path";
    }
    EXPECT_FALSE(fktest::PathExists(path));
    EXPECT_EQ(fktest::OpenDescriptorCount(), descriptors);
}

TEST(JSocketDatagram, LocalNameIsCutTo107CharactersAndReopeningReplacesTheSocket)
{
    fktest::TempDir dir;
    const std::string bound = dir.path(std::string(107 - dir.path().size() - 1, 'p'));
    JSocket receiver;
    receiver.type = UDP_SOCKET;
    receiver.local = true;
    std::strcpy(receiver.name, (bound + "-beyond").c_str());
    ASSERT_EQ(receiver.create_udp_receive_socket(), 1);
    EXPECT_EQ(receiver.addr_len, 109);
    EXPECT_TRUE(fktest::PathExists(bound));
    const int descriptors = fktest::OpenDescriptorCount();
    EXPECT_EQ(receiver.create_udp_send_socket(), 1);  // closes the earlier descriptor first
    EXPECT_EQ(fktest::OpenDescriptorCount(), descriptors);
}

TEST(JSocketDatagram, IPv4ReceiverAnswersTheSenderOfTheLastDatagram)
{
    const int port = fktest::FreeLoopbackPort(SOCK_DGRAM);
    JSocket receiver, sender;
    Aim(receiver, kLoopback, port);
    Aim(sender, kLoopback, port);
    ASSERT_EQ(receiver.create_udp_receive_socket(), 1);
    ASSERT_EQ(sender.create_udp_send_socket(), 1);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ASSERT_EQ(getsockname(receiver.fd, reinterpret_cast<sockaddr*>(&bound), &len), 0);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(kLoopback));
    EXPECT_EQ(bound.sin_port, htons(static_cast<uint16_t>(port)));

    EXPECT_EQ(Send(sender, "ping"), 1);
    EXPECT_EQ(Receive(receiver, kArrives), "ping");
    EXPECT_EQ(Send(receiver, "pong"), 1);  // to the sender's ephemeral port
    EXPECT_EQ(Receive(sender, kArrives), "pong");
}

// The three slow set-ups run side by side, so the test lasts about 10 s, not 25:
// a taken port, 255.255.255.255 (a "group" no join accepts) and a port freed after 2.5 s.
TEST(JSocketDatagram, SetUpRetriesEverySecondAndGivesUpAfterTheEleventhAttempt)
{
    const int descriptors = fktest::OpenDescriptorCount();
    JSocket holder[2], tried[3];  // the holders keep ports taken
    for (JSocket& h : holder) {
        Aim(h, kLoopback, fktest::FreeLoopbackPort(SOCK_DGRAM));
        ASSERT_EQ(h.create_udp_receive_socket(), 1);
    }
    Aim(tried[0], kLoopback, holder[0].port);
    Aim(tried[1], 0xFFFFFFFFu, fktest::FreeLoopbackPort(SOCK_DGRAM));
    Aim(tried[2], kLoopback, holder[1].port);
    const unsigned int start = GetTickCount();
    int opened[3] = {};
    std::future<unsigned int> elapsed[3];
    for (int i = 0; i < 3; ++i)
        elapsed[i] = std::async(std::launch::async, [&, i] {
            opened[i] = tried[i].create_udp_receive_socket();
            return GetTickCount() - start;
        });
    Sleep(2500);
    holder[1].ResetSocket();
    const unsigned int at_least[3] = {9500, 9500, 2000};  // ten pauses of a second, or two
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(elapsed[i].get(), at_least[i]) << "set-up " << i;
        EXPECT_EQ(opened[i], i == 2) << "set-up " << i;
        EXPECT_EQ(tried[i].fd == -1, i < 2) << "set-up " << i;
    }
    holder[0].ResetSocket();
    tried[2].ResetSocket();
    EXPECT_EQ(fktest::OpenDescriptorCount(), descriptors) << "every failed attempt closes its socket";
}

// Runs a shell command (its errors show on stderr); empty when it succeeded, else the command.
std::string Shell(const std::string& command)
{
    return std::system((command + " >/dev/null").c_str()) == 0 ? std::string() : command + ": failed";
}

// Two hosts of this process, network namespaces "fkmc-<pid>-a" and "-b" joined
// by a veth pair: A at 198.51.100.1, B at 198.51.100.2, each routing
// 224.0.0.0/4 to the link. The destructor removes both (and so the link), also
// when the test failed; the constructor first removes those of dead processes.
struct TwoHosts {
    std::string names[2], error;

    TwoHosts()
    {
        Shell("for ns in $(ip netns list | grep -o '^fkmc-[0-9]*-[ab]'); do pid=${ns#fkmc-}; "
            "kill -0 ${pid%-*} 2>/dev/null || ip netns del $ns; done");
        const std::string pid = std::to_string(getpid());
        names[0] = "fkmc-" + pid + "-a";
        names[1] = "fkmc-" + pid + "-b";
        const std::string link[2] = {"fkmcA" + pid, "fkmcB" + pid};
        std::string script = "ip netns add " + names[0] + " && ip netns add " + names[1] + " && ip link add " +
                             link[0] + " netns " + names[0] + " type veth peer name " + link[1] + " netns " + names[1];
        for (int i = 0; i < 2; ++i) {
            const std::string in = " && ip -n " + names[i] + " ";
            script += in + "addr add 198.51.100." + std::to_string(i + 1) + "/24 dev " + link[i] + in +
                      "link set " + link[i] + " up" + in + "route add 224.0.0.0/4 dev " + link[i];
        }
        error = Shell(script);
    }
    ~TwoHosts()
    {
        for (const std::string& name : names)
            Shell("ip netns del " + name);
    }
    // Runs fn on a thread inside host 0 (A) or 1 (B); sockets it opens stay in
    // that host wherever they are used later. Empty, or why it could not enter.
    std::string In(int host, const std::function<void()>& fn) const
    {
        std::string failure;
        std::thread([&] {
            const int ns = open(("/var/run/netns/" + names[host]).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns == -1 || setns(ns, CLONE_NEWNET) != 0)
                failure = "cannot enter " + names[host] + ": " + std::strerror(errno);
            else
                fn();
            if (ns != -1)
                close(ns);
        }).join();
        return failure;
    }
};

TEST(JSocketDatagram, MulticastReachesTheOtherHostButNotTheSendersOwn)
{
    if (geteuid() != 0 || !Shell("ip netns list").empty())
        GTEST_SKIP() << "multicast between two hosts skipped: it needs root to create network "
                        "namespaces and the ip command with netns support (iproute2)";
    TwoHosts hosts;
    ASSERT_EQ(hosts.error, "");
    JSocket receiver, neighbour, sender;  // receiver on A; neighbour and sender on B
    for (JSocket* s : {&receiver, &neighbour, &sender})
        Aim(*s, kGroup, 5000);
    neighbour.mcast_if = kHostB;
    int opened = 0;
    ASSERT_EQ(hosts.In(0, [&] { opened += receiver.create_udp_receive_socket(); }), "");
    ASSERT_EQ(hosts.In(1, [&] { opened += neighbour.create_udp_receive_socket() + sender.create_udp_send_socket(); }), "");
    ASSERT_EQ(opened, 3);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ASSERT_EQ(getsockname(receiver.fd, reinterpret_cast<sockaddr*>(&bound), &len), 0);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY)) << "a group receiver listens on every interface";

    EXPECT_EQ(Send(sender, "to the group"), 1);
    EXPECT_EQ(Receive(receiver, kArrives), "to the group");
    EXPECT_EQ(Receive(neighbour, kStaysAway), kNothing) << "loopback is off for a group sender";

    // The interface goes by its address. qemu-user 7.2 does not forward IP_MULTICAST_IF and
    // answers ENOPROTOOPT (a kernel never does): there mcast_set_if can only pass that on.
    in_addr any{};
    const bool forwarded = setsockopt(sender.fd, IPPROTO_IP, IP_MULTICAST_IF, &any, sizeof any) == 0 || errno != ENOPROTOOPT;
    sender.ip_addr = kHostB;
    EXPECT_EQ(sender.mcast_set_if(), forwarded ? 0 : -1);
    sender.ip_addr = kHostA;
    EXPECT_EQ(sender.mcast_set_if(), -1) << "198.51.100.1 is not an address of host B";
    EXPECT_EQ(sender.mcast_set_ttl(4), 0);
    int ttl = 0;
    len = sizeof ttl;
    EXPECT_EQ(getsockopt(sender.fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len) == 0 ? ttl : -1, 4);
    // With loopback on, the sender's own host hears it too: the destination stayed the group.
    EXPECT_EQ(sender.mcast_set_loopback(1), 0);
    EXPECT_EQ(Send(sender, "looped"), 1);
    EXPECT_EQ(Receive(neighbour, kArrives), "looped");
    EXPECT_EQ(Receive(receiver, kArrives), "looped");

    // The receiver answers the sender's own address; having received, the
    // sender in turn aims at the receiver, no longer at the group.
    EXPECT_EQ(Send(receiver, "answer"), 1);
    EXPECT_EQ(Receive(sender, kArrives), "answer");
    EXPECT_EQ(Send(sender, "direct"), 1);
    EXPECT_EQ(Receive(receiver, kArrives), "direct");
    EXPECT_EQ(Receive(neighbour, kStaysAway), kNothing);
}

}  // namespace
