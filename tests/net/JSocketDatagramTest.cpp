// SPDX-License-Identifier: MIT
#include <fieldkit/core/Clock.h>
#include <fieldkit/net/JSocket.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

namespace {

using namespace fktest;

constexpr unsigned int kGroup = 0xEF010203u;  // 239.1.2.3
constexpr unsigned int kHostB = 0xC6336402u;  // 198.51.100.2
const std::string kNothing = "<nothing>";

int Send(JSocket& s, std::string bytes) { return s.SendMessage(&bytes[0], bytes.size(), -1); }

// The next datagram within `timeout_ms` (by default a bound generous for qemu and sanitizers).
std::string Receive(JSocket& s, unsigned short timeout_ms = 5000)
{
    Message m;
    return s.ReceiveMessage(&m, timeout_ms, -1) ? std::string(m.data, m.length) : kNothing;
}

// What `to` receives after `from` sent `b`.
std::string Pass(JSocket& from, std::string b, JSocket& to) { return Send(from, b) == 1 ? Receive(to) : "<not sent>"; }

JSocket& Aim(JSocket& s, unsigned int ip, int port) { return s.type = UDP_SOCKET, s.ip_addr = ip, s.port = port, s; }

unsigned int BoundAddress(const JSocket& s)  // as a host number; 1 when unbound
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return getsockname(s.fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? ntohl(a.sin_addr.s_addr) : 1;
}

int IpOption(const JSocket& s, int option)  // -1 when unreadable
{
    unsigned char value = 0;
    socklen_t len = sizeof value;
    return getsockopt(s.fd, IPPROTO_IP, option, &value, &len) == 0 ? value : -1;
}

// A receiver at a 107-character path over a stale file, and a sender opened with direction 7.
struct LocalPair : ::testing::Test {
    TempDir dir;
    const std::string path = dir.path(std::string(107 - dir.path().size() - 1, 'p'));
    const int before = (close(open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)), OpenDescriptorCount());
    JSocket sender{path.c_str(), UDP_SOCKET, static_cast<UDP_dir>(7)};
    std::unique_ptr<JSocket> receiver = std::make_unique<JSocket>(path.c_str(), UDP_SOCKET, UDP_RECEIVE);
};

// Catches a receive that reads on into the next datagram, or a buffer of the wrong size.
TEST_F(LocalPair, LongDatagramIsCutTo2048Bytes)
{
    EXPECT_EQ(Pass(sender, Pattern(3000), *receiver), Pattern(2048));
    EXPECT_EQ(Receive(*receiver, 0), kNothing) << "the rest is lost";
}

// Catches a datagram send to a stalled receiver that blocks for good, or leaves the socket unusable.
TEST_F(LocalPair, BoundedSendToAStalledReceiverGivesUp)
{
    ASSERT_EQ(sender.SetSendTimeout(50), 1);
    const std::string datagram = Pattern(1000);
    int sends = 0;
    while (sends < 100000 && Send(sender, datagram) == 1)
        ++sends;
    EXPECT_LT(sends, 100000) << "the receiver's queue filled up";
    EXPECT_EQ(Receive(*receiver), datagram);
    EXPECT_EQ(Send(sender, "again"), 1) << "room again: the socket still sends";
}

// Catches an empty datagram reported as sent, or as a message received.
TEST_F(LocalPair, EmptyDatagramCountsAsNotSentYetTravels)
{
    EXPECT_EQ(Send(sender, ""), 0);
    EXPECT_EQ(Send(sender, ""), 0);
    char buf[8];
    EXPECT_EQ(receiver->ReceiveMessage(buf, sizeof buf, 5000, -1), 0);
    Message m;
    m.SetMessage("kept", 4);
    EXPECT_FALSE(receiver->ReceiveMessage(&m, 5000, -1));
    EXPECT_EQ(std::string(m.data, m.length), "kept");
}

// Catches a name longer than an address holds copied whole.
TEST_F(LocalPair, NameSetDirectlyIsCutTo107Characters)
{
    std::strcpy(sender.name, (path + "-beyond").c_str());
    ASSERT_EQ(sender.create_udp_send_socket(), 1);
    EXPECT_EQ(Pass(sender, "cut", *receiver), "cut");
    EXPECT_EQ(OpenDescriptorCount(), before + 2);
}

// Catches a sender that removes the receiver's path, or a receiver that leaves it.
TEST_F(LocalPair, ReceiverRemovesItsPath)
{
    JSocket(path.c_str(), UDP_SOCKET, UDP_SEND).ResetSocket();
    EXPECT_TRUE(PathExists(path));
    receiver.reset();
    EXPECT_FALSE(PathExists(path));
    EXPECT_EQ(Send(sender, "nobody listens"), 0);
    sender.ResetSocket();
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// Catches a local receiver whose failed bind counts as a failed set-up: it stays open, for sending.
TEST_F(LocalPair, ReceiverWithoutItsPathStaysOpen)
{
    EXPECT_NE(JSocket(dir.path("missing/receiver").c_str(), UDP_SOCKET, UDP_RECEIVE).fd, -1);
}

// Catches an IPv4 receiver bound to every interface instead of its address, or an answer that misses.
TEST(JSocketDatagram, IPv4ReceiverAnswersTheLastSender)
{
    const int port = FreeLoopbackPort(SOCK_DGRAM);
    JSocket receiver, sender;
    ASSERT_EQ(Aim(receiver, kLoopback, port).create_udp_receive_socket(), 1);
    ASSERT_EQ(Aim(sender, kLoopback, port).create_udp_send_socket(), 1);
    EXPECT_EQ(BoundAddress(receiver), kLoopback);
    EXPECT_EQ(Pass(sender, "ping", receiver), "ping");
    EXPECT_EQ(Pass(receiver, "pong", sender), "pong");  // to the sender's ephemeral port
}

// Rows on both sides of 224.0.0.0: catches a group sender that would hear itself.
TEST(JSocketDatagram, GroupSenderHasLoopbackOff)
{
    const struct { unsigned int ip; int loop; } rows[] = {
        {kLoopback, 1}, {0xDFFFFFFFu, 1}, {0xE0000000u, 0}, {kGroup, 0}, {0xFFFFFFFFu, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << "destination 0x" << std::hex << row.ip);
        JSocket sender;
        ASSERT_EQ(Aim(sender, row.ip, 5000).create_udp_send_socket(), 1);
        EXPECT_EQ(IpOption(sender, IP_MULTICAST_LOOP), row.loop);
    }
}

// Catches a failed bind (a port taken until 2.5 s in) or join (255.255.255.255) taken for an open socket,
// a retry's success lost, a failed attempt's socket left open, and one pause (of 1 s) more or fewer than ten.
TEST(JSocketDatagram, SetUpGivesUpAfterElevenAttempts)
{
    const int descriptors = OpenDescriptorCount();
    JSocket holder, freed, group;
    ASSERT_EQ(Aim(holder, kLoopback, FreeLoopbackPort(SOCK_DGRAM)).create_udp_receive_socket(), 1);
    Aim(freed, kLoopback, holder.port);
    std::thread freer([&] { Sleep(2500), holder.ResetSocket(); });
    EXPECT_TRUE(TakesMs(2900, 3700, [&] { EXPECT_EQ(freed.create_udp_receive_socket(), 1); })) << "the fourth attempt";
    freer.join();
    Aim(group, 0xFFFFFFFFu, FreeLoopbackPort(SOCK_DGRAM));
    EXPECT_TRUE(TakesMs(9900, 10700, [&] { EXPECT_EQ(group.create_udp_receive_socket(), 0); }));
    EXPECT_EQ(OpenDescriptorCount(), descriptors + 1);
}

bool Shell(const std::string& command) { return std::system((command + " >/dev/null").c_str()) == 0; }

// Namespaces fkmc-<pid>-a (198.51.100.1) and -b (.2) joined by a veth pair routing 224.0.0.0/4;
// those of dead processes are removed first.
struct TwoHosts {
    const std::string pid = std::to_string(getpid());
    const bool ready = Shell(
        "for ns in $(ip netns list | grep -o '^fkmc-[0-9]*-[ab]'); do p=${ns#fkmc-}; "
        "kill -0 ${p%-*} 2>/dev/null || ip netns del $ns; done; p=" + pid + "; a=fkmc-$p-a b=fkmc-$p-b; "
        "ip netns add $a && ip netns add $b && ip link add fkmcA$p netns $a type veth peer name fkmcB$p netns $b && "
        "ip -n $a addr add 198.51.100.1/24 dev fkmcA$p && ip -n $b addr add 198.51.100.2/24 dev fkmcB$p && "
        "ip -n $a link set fkmcA$p up && ip -n $b link set fkmcB$p up && "
        "ip -n $a route add 224.0.0.0/4 dev fkmcA$p && ip -n $b route add 224.0.0.0/4 dev fkmcB$p");

    ~TwoHosts() { Shell("ip netns del " + Name(0) + "; ip netns del " + Name(1)); }
    std::string Name(int host) const { return "fkmc-" + pid + (host ? "-b" : "-a"); }

    // fn's result on a thread inside host 0 (A) or 1 (B), -1 if it cannot enter; its sockets stay there.
    int In(int host, const std::function<int()>& fn) const
    {
        int result = -1;
        std::thread([&] {
            const int ns = open(("/var/run/netns/" + Name(host)).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns != -1 && setns(ns, CLONE_NEWNET) == 0)
                result = fn();
            close(ns);
        }).join();
        return result;
    }
};

// A group receiver on host A; on host B a neighbour receiver joined through B's address and a sender.
// Catches a group receiver not on every interface, a join on the wrong one, a multicast option set wrong.
TEST(JSocketMulticast, GroupReachesOtherHosts)
{
    if (geteuid() != 0 || !Shell("ip netns list"))
        GTEST_SKIP() << "needs root and the ip command with netns support (iproute2) for two network namespaces";
    const TwoHosts hosts;
    ASSERT_TRUE(hosts.ready);
    JSocket receiver, neighbour, sender;
    for (JSocket* s : {&receiver, &neighbour, &sender})
        Aim(*s, kGroup, 5000);
    neighbour.mcast_if = kHostB;
    ASSERT_EQ(hosts.In(0, [&] { return receiver.create_udp_receive_socket(); }), 1);
    ASSERT_EQ(hosts.In(1, [&] { return neighbour.create_udp_receive_socket() + sender.create_udp_send_socket(); }), 2);
    EXPECT_EQ(BoundAddress(receiver), INADDR_ANY);
    EXPECT_EQ(Pass(sender, "to the group", receiver), "to the group");
    EXPECT_EQ(sender.mcast_set_loopback(1), 0);
    EXPECT_EQ(Pass(sender, "looped", neighbour), "looped");
    EXPECT_EQ(Pass(receiver, "answer", sender), "answer");
    // qemu-user 7.2 answers IP_MULTICAST_IF with ENOPROTOOPT.
    const bool emulated = UnderUserModeEmulator();
    sender.ip_addr = kHostB;
    errno = 0;
    EXPECT_EQ(sender.mcast_set_if(), emulated ? -1 : 0);
    EXPECT_EQ(errno, emulated ? ENOPROTOOPT : 0);
    sender.ip_addr = 0xC6336401u;
    EXPECT_EQ(sender.mcast_set_if(), -1) << "198.51.100.1 is not an address of host B";
    EXPECT_EQ(sender.mcast_set_ttl(4), 0);
    EXPECT_EQ(IpOption(sender, IP_MULTICAST_TTL), 4);
}

}  // namespace
