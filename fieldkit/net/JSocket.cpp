// SPDX-License-Identifier: MIT
#include "JSocket.h"

#include <fieldkit/core/Clock.h>
#include <fieldkit/net/detail/SocketDetail.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

using fieldkit::detail::address_family;

namespace {

constexpr size_t kMaxLocalName = sizeof(sockaddr_un::sun_path) - 1;  // 107
constexpr int kConnectAttempts = 10;
constexpr int kConnectPauseMs = 500;

}  // namespace

JSocket::JSocket() : fd(-1), fd_closed_(false)
{
    ResetSocket();
}

JSocket::JSocket(const char* name, socket_type type, UDP_dir dir) : JSocket()
{
    InitializeSocket(name, type, dir);
}

JSocket::~JSocket()
{
    ResetSocket();
}

void JSocket::ResetSocket()
{
    if (fd != -1) {
        close_own_fd(Number::kForget);
        if (direction == UDP_RECEIVE)
            remove(name);
    }
    type = static_cast<socket_type>(0);
    connected = false;
    std::memset(name, 0, sizeof name);
    ip_addr = 0;
    port = 0;
    direction = static_cast<UDP_dir>(0);
    mcast_if = 0;
    local = false;
    addr_in = sockaddr_in{};
    addr_in_ptr = nullptr;
    addr_un = sockaddr_un{};
    addr = nullptr;
    addr_len = 0;
}

int JSocket::InitializeSocket(const char* name, socket_type type, int arg)
{
    // Refused before the reset, so the object keeps what it had. An empty
    // name names no file and is refused as well.
    if (!name || name[0] == '\0' || strnlen(name, kMaxLocalName + 1) > kMaxLocalName)
        return 0;
    char path[kMaxLocalName + 1];
    std::strcpy(path, name);  // `name` may be this->name, which the reset clears
    ResetSocket();
    local = true;
    this->type = type;
    std::strcpy(this->name, path);
    switch (type) {
    case UDP_SOCKET:
        return arg == UDP_RECEIVE ? create_udp_receive_socket() : create_udp_send_socket();
    case TCP_CLIENT:
        return tcp_start_client();
    case TCP_SERVER:
        direction = UDP_RECEIVE;  // the server owns its path
        return tcp_start_server(arg);
    }
    return 0;
}

int JSocket::tcp_start_server(int backlog)
{
    remove(name);  // stale file of an earlier run; fails harmlessly for IPv4
    if (open_own_fd(address_family(local), SOCK_STREAM, local ? 0 : IPPROTO_TCP) == -1) {
        connected = false;
        return 0;
    }
    set_socket_ReUseAddr();
    sockaddr_storage address{};
    const socklen_t length = stream_address(&address, INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, backlog) != 0) {
        close_own_fd(Number::kKeep);
        connected = false;
        return 0;
    }
    connected = true;
    return 1;
}

int JSocket::tcp_start_client()
{
    sockaddr_storage address{};
    const socklen_t length = stream_address(&address, ip_addr);
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (open_own_fd(address_family(local), SOCK_STREAM, 0) == -1)
            continue;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
            connected = true;
            return 1;
        }
        close_own_fd(Number::kForget);
        Sleep(kConnectPauseMs);
    }
    connected = false;
    return 0;
}

int JSocket::tcp_check_for_connection(unsigned long* peer, int* client_fd, int timeout)
{
    if (!client_fd || check_read(timeout, -1, 1) <= 0)
        return 0;
    sockaddr_in peer_address{};
    socklen_t length = sizeof peer_address;
    const int listener = resolve_fd(-1);
    *client_fd = local ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)
                       : accept4(listener, reinterpret_cast<sockaddr*>(&peer_address), &length, SOCK_CLOEXEC);
    if (*client_fd < 0)
        return 0;
    if (peer)
        *peer = local ? 0 : ntohl(peer_address.sin_addr.s_addr);
    return 1;
}

void JSocket::tcp_drop_client(int& client_fd)
{
    if (client_fd != -1) {
        close(client_fd);
        client_fd = -1;
    }
}

void JSocket::tcp_close_listening_socket()
{
    if (resolve_fd(-1) != -1) {
        tcp_set_socket_nolinger();
        close_own_fd(Number::kKeep);
    }
}

int JSocket::GetPeerCredentials(int fd, pid_t* pid, uid_t* uid, gid_t* gid)
{
    using fieldkit::detail::socket_option;
    const int descriptor = resolve_fd(fd);
    if (socket_option(descriptor, SO_DOMAIN) != AF_UNIX || socket_option(descriptor, SO_TYPE) != SOCK_STREAM ||
        socket_option(descriptor, SO_ACCEPTCONN) != 0)
        return 0;  // not a local stream socket, or a listening one, which has no other end
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid == 0)
        return 0;  // pid 0: not connected
    if (pid)
        *pid = peer.pid;
    if (uid)
        *uid = peer.uid;
    if (gid)
        *gid = peer.gid;
    return 1;
}

int JSocket::tcp_set_socket_nolinger()
{
    const linger off{0, 0};
    return setsockopt(resolve_fd(-1), SOL_SOCKET, SO_LINGER, &off, sizeof off) == 0 ? 1 : 0;
}

int JSocket::set_socket_ReUseAddr()
{
    const int on = 1;
    return setsockopt(resolve_fd(-1), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 1 : 0;
}

int JSocket::set_socket_nonblock()
{
    const int own = resolve_fd(-1);
    const int flags = fcntl(own, F_GETFL);
    if (flags == -1)
        return -1;
    return fcntl(own, F_SETFL, flags | O_NONBLOCK);
}

int JSocket::check_read(int timeout, int fd, int retry)
{
    pollfd wanted{resolve_fd(fd), POLLIN, 0};
    if (wanted.fd < 0) {  // poll would skip it silently; select fails on it
        errno = EBADF;
        return -1;
    }
    const int n = poll_readable(&wanted, 1, timeout, retry);
    if (n > 0 && (wanted.revents & POLLNVAL)) {  // a bad descriptor is an error, as select gives it
        errno = EBADF;
        return -1;
    }
    return n;  // hang-up and error conditions count as readable
}

int JSocket::poll_readable(pollfd* set, unsigned long count, int timeout, int retry)
{
    return fieldkit::detail::wait_retrying(timeout, retry, [&](int ms) { return poll(set, count, ms); });
}

int JSocket::tcp_WaitForActivity(int timeout)
{
    if (type != TCP_SERVER)
        return 0;
    return check_read(timeout, -1, 0) > 0 ? 1 : 0;
}

int JSocket::resolve_fd(int fd) const
{
    if (fd != -1)
        return fd;
    return fd_closed_ ? -1 : this->fd;
}

void JSocket::close_own_fd(Number number)
{
    if (fd != -1 && !fd_closed_) {
        close(fd);
        fd_closed_ = true;
    }
    if (number == Number::kForget) {
        fd = -1;
        fd_closed_ = false;
    }
}

int JSocket::open_own_fd(int family, int sock_type, int protocol)
{
    close_own_fd(Number::kForget);
    fd = socket(family, sock_type | SOCK_CLOEXEC, protocol);
    return fd;
}

socklen_t JSocket::stream_address(sockaddr_storage* out, unsigned int ipv4_host) const
{
    *out = sockaddr_storage{};
    if (local)
        return local_address(name, reinterpret_cast<sockaddr_un*>(out));
    sockaddr_in* in = reinterpret_cast<sockaddr_in*>(out);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    in->sin_addr.s_addr = htonl(ipv4_host);
    return sizeof *in;
}

socklen_t JSocket::local_address(const char* name, sockaddr_un* out)
{
    *out = sockaddr_un{};
    out->sun_family = AF_UNIX;
    const size_t length = strnlen(name, kMaxLocalName);
    std::memcpy(out->sun_path, name, length);
    return static_cast<socklen_t>(sizeof out->sun_family + length);
}
