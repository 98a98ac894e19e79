// Datagram set-up of JSocket: local and IPv4 senders and receivers, IPv4
// multicast membership and the multicast options.
#include <fieldkit/net/JSocket.h>

#include <fieldkit/core/Clock.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kSetupAttempts = 11;
constexpr int kSetupPauseMs = 1000;
constexpr unsigned int kFirstMulticast = 0xE0000000u;  // 224.0.0.0
constexpr std::size_t kMaxLocalPath = 107;

// 224.0.0.0 and every address above it, 255.255.255.255 included.
bool is_multicast(unsigned int ip)
{
    return ip >= kFirstMulticast;
}

// Fills `out` with the local address of the first 107 characters of `path`;
// returns its length (path length + 2).
int make_local_address(sockaddr_un& out, const char* path)
{
    std::memset(&out, 0, sizeof out);
    out.sun_family = AF_UNIX;
    const std::size_t len = strnlen(path, kMaxLocalPath);
    std::memcpy(out.sun_path, path, len);
    return static_cast<int>(len + 2);
}

// Opens s as a datagram socket in direction `dir`: up to 11 attempts with a
// 1 s pause after each failure but the last. 1 open; 0 failed with fd -1.
// An object that still holds a descriptor is refused (0, nothing changed),
// since opening over it would orphan that descriptor.
int open_datagram_socket(JSocket& s, UDP_dir dir)
{
    if (s.fd != -1)
        return 0;
    s.direction = dir;
    if (dir == UDP_RECEIVE)
        std::remove(s.name);  // a stale socket file; an IPv4 socket's empty name fails harmlessly
    for (int attempt = 1; attempt <= kSetupAttempts; ++attempt) {
        if (s.udp_setup_socket())
            return 1;
        if (attempt < kSetupAttempts)
            Sleep(kSetupPauseMs);
    }
    s.fd = -1;
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
    if (fd != -1)
        return false;  // would orphan the open descriptor
    fd = socket(local ? AF_UNIX : AF_INET, SOCK_DGRAM, 0);
    if (fd == -1)
        return false;

    if (local) {
        addr_len = make_local_address(addr_un, name);
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
        close(fd);
        fd = -1;
    }
    return ready;
}

int JSocket::mcast_join(unsigned long group, unsigned long iface)
{
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(static_cast<std::uint32_t>(group));
    request.imr_interface.s_addr = htonl(static_cast<std::uint32_t>(iface));
    return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
}

int JSocket::mcast_set_loopback(unsigned char on)
{
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
}

int JSocket::mcast_set_ttl(unsigned char ttl)
{
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
}

int JSocket::mcast_set_if()
{
    in_addr iface{};
    iface.s_addr = htonl(ip_addr);
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
}
