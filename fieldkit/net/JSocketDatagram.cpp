// SPDX-License-Identifier: MIT
// Datagram set-up of JSocket: local and IPv4 senders and receivers, IPv4
// multicast membership and the multicast options.
#include "JSocket.h"

#include <fieldkit/core/Clock.h>
#include <fieldkit/net/detail/SocketDetail.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kSetupAttempts = 11;
constexpr int kSetupPauseMs = 1000;
constexpr unsigned int kFirstMulticast = 0xE0000000u;  // 224.0.0.0

// 224.0.0.0 and every address above it, 255.255.255.255 included.
bool is_multicast(unsigned int ip)
{
    return ip >= kFirstMulticast;
}

// Opens s as a datagram socket in direction `dir`: up to 11 attempts with a
// 1 s pause after each failure but the last. 1 open; 0 failed, and since every
// failed attempt leaves fd -1, so does the last.
int open_datagram_socket(JSocket& s, UDP_dir dir)
{
    s.direction = dir;
    if (dir == UDP_RECEIVE)
        std::remove(s.name);  // a stale socket file; an IPv4 socket's empty name fails harmlessly
    for (int attempt = 1; attempt <= kSetupAttempts; ++attempt) {
        if (s.udp_setup_socket())
            return 1;
        if (attempt < kSetupAttempts)
            Sleep(kSetupPauseMs);
    }
    return 0;
}

}  // namespace

int JSocket::create_udp_receive_socket()
{
    return open_datagram_socket(*this, UDP_RECEIVE);
}

int JSocket::create_udp_send_socket()
{
    return open_datagram_socket(*this, UDP_SEND);
}

bool JSocket::udp_setup_socket()
{
    if (open_own_fd(fieldkit::detail::address_family(local), SOCK_DGRAM, 0) == -1)
        return false;

    if (local) {
        addr_len = static_cast<int>(local_address(name, &addr_un));
        addr = reinterpret_cast<sockaddr*>(&addr_un);
        // A failed bind is not a failed set-up: the socket stays usable for sending.
        if (direction == UDP_RECEIVE)
            bind(fd, addr, static_cast<socklen_t>(addr_len));
        return true;
    }

    const bool group = is_multicast(ip_addr);
    std::memset(&addr_in, 0, sizeof addr_in);
    addr_in.sin_family = AF_INET;
    // A receiver of a group listens on all interfaces; a sender's address is its destination.
    addr_in.sin_addr.s_addr = htonl((direction != UDP_SEND && group) ? INADDR_ANY : ip_addr);
    addr_in.sin_port = htons(static_cast<std::uint16_t>(port));
    addr_len = sizeof addr_in;
    addr_in_ptr = &addr_in;
    addr = reinterpret_cast<sockaddr*>(&addr_in);

    bool ready = true;
    if (direction == UDP_RECEIVE)
        ready = bind(fd, addr, sizeof addr_in) == 0 && (!group || mcast_join(ip_addr, mcast_if) == 0);
    else if (group)
        ready = mcast_set_loopback(0) == 0;  // keep our own datagrams off this host
    if (!ready) {
        close_own_fd(Number::kForget);
    }
    return ready;
}

int JSocket::mcast_join(unsigned long group, unsigned long iface)
{
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(static_cast<std::uint32_t>(group));
    request.imr_interface.s_addr = htonl(static_cast<std::uint32_t>(iface));
    return setsockopt(resolve_fd(-1), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
}

int JSocket::mcast_set_loopback(unsigned char on)
{
    return setsockopt(resolve_fd(-1), IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
}

int JSocket::mcast_set_ttl(unsigned char ttl)
{
    return setsockopt(resolve_fd(-1), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
}

int JSocket::mcast_set_if()
{
    in_addr iface{};
    iface.s_addr = htonl(ip_addr);
    return setsockopt(resolve_fd(-1), IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
}
