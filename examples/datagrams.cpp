// SPDX-License-Identifier: MIT
// Datagrams: a local (path-named) receiver and sender, then IPv4 multicast
// kept on this host by the loopback interface and a hop limit of 0.
#include <fieldkit/fieldkit.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

constexpr unsigned int kGroup = 0xEFFF2A2Bu;  // 239.255.42.43, a host number
constexpr unsigned int kLoopback = 0x7F000001u;

// Sends `text` on tx and reports whether rx received exactly that.
bool Deliver(JSocket& tx, JSocket& rx, const char* text)
{
    char buf[64];
    std::strncpy(buf, text, sizeof buf - 1);
    buf[sizeof buf - 1] = '\0';
    tx.SendMessage(buf, std::strlen(buf), -1);  // one datagram, no header
    Message got;
    return rx.ReceiveMessage(&got, 2000, -1) && std::string(got.data, got.length) == text;
}

bool LocalDatagrams(const std::string& path)
{
    // The receiver binds the path (and removes it when destroyed).
    JSocket rx(path.c_str(), UDP_SOCKET, UDP_RECEIVE);
    // The sender addresses the same path; it has no name of its own.
    JSocket tx(path.c_str(), UDP_SOCKET, UDP_SEND);
    return rx.fd != -1 && tx.fd != -1 && Deliver(tx, rx, "local datagram");
}

// 1 delivered, 0 lost, -1 when this system cannot pin multicast to an interface
// (some emulators lack IP_MULTICAST_IF); then nothing is sent.
int LoopbackMulticast()
{
    // IPv4 sockets: set the public fields on an empty object, then open.
    JSocket rx;
    rx.type = UDP_SOCKET;   // transfers use recvfrom/sendto only with this type
    rx.ip_addr = kGroup;    // a group address: bind 0.0.0.0:port and join it
    rx.port = 47012;
    rx.mcast_if = kLoopback;  // join on the loopback interface only
    if (!rx.create_udp_receive_socket())
        return 0;

    JSocket tx;
    tx.type = UDP_SOCKET;
    tx.ip_addr = kGroup;  // destination, fixed when the socket opens
    tx.port = 47012;
    if (!tx.create_udp_send_socket())  // switches loopback off for a group
        return 0;
    tx.ip_addr = kLoopback;  // now the interface for mcast_set_if; the destination stays
    if (tx.mcast_set_if() != 0 || tx.mcast_set_ttl(0) != 0)  // stay on this host
        return -1;
    // This host is the only listener here, so let it hear its own group.
    return tx.mcast_set_loopback(1) == 0 && Deliver(tx, rx, "multicast datagram") ? 1 : 0;
}

}  // namespace

int main()
{
    char dir[] = "/tmp/fieldkit-dgram-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    const bool local = LocalDatagrams(std::string(dir) + "/rx.sock");
    rmdir(dir);
    const int multicast = LoopbackMulticast();
    std::printf("local datagram: %s; loopback multicast: %s\n", local ? "delivered" : "LOST",
                multicast > 0 ? "delivered" : multicast < 0 ? "not available here" : "LOST");
    return local && multicast != 0 ? 0 : 1;
}
