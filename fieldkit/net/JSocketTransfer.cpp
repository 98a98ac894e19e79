// SPDX-License-Identifier: MIT
#include "JSocket.h"

#include <fieldkit/net/detail/SendRoutes.h>
#include <fieldkit/net/detail/SocketDetail.h>

#include <fcntl.h>
#include <sys/time.h>

#include <cerrno>
#include <memory>

using fieldkit::detail::kMessageReceiveSize;
using fieldkit::detail::receive_once;

namespace {

constexpr int kStreamReadWaitMs = 10;

// True when a send of `len` bytes that gave `sent` was cut short by the send
// time-out of a blocking descriptor: a short count, or EAGAIN without O_NONBLOCK,
// while SO_SNDTIMEO is set. A non-blocking descriptor's short send is its own business.
bool send_timed_out(int descriptor, ssize_t sent, unsigned long len)
{
    const bool short_send = sent >= 0 ? static_cast<unsigned long>(sent) < len
                                      : (errno == EAGAIN || errno == EWOULDBLOCK);
    if (!short_send)
        return false;
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags == -1 || (flags & O_NONBLOCK))
        return false;
    timeval bound{};
    socklen_t size = sizeof bound;
    if (getsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &bound, &size) != 0)
        return false;
    return bound.tv_sec != 0 || bound.tv_usec != 0;
}

}  // namespace

int JSocket::SendMessage(TCPMessage* m)
{
    return m ? SendMessage(m->data, m->length, m->socket) : 0;
}

int JSocket::SendMessage(Message* m, int fd)
{
    return m ? SendMessage(m->data, m->length, fd) : 0;
}

int JSocket::SendMessage(void* buf, unsigned long len, int fd)
{
    if (type != UDP_SOCKET)
        return tcp_send_msg(static_cast<char*>(buf), len, fd);
    const ssize_t sent = sendto(resolve_fd(-1), buf, len, MSG_NOSIGNAL, addr,
                                static_cast<socklen_t>(addr_len));
    return sent > 0 ? 1 : 0;
}

bool JSocket::ReceiveMessage(TCPMessage* m, unsigned short timeout)
{
    return m && ReceiveMessage(m, timeout, m->socket);
}

bool JSocket::ReceiveMessage(Message* m, unsigned short timeout, int fd)
{
    if (!m)
        return false;
    const std::unique_ptr<char[]> scratch(new char[kMessageReceiveSize]);
    const int n = ReceiveMessage(scratch.get(), kMessageReceiveSize, timeout, fd);
    if (n <= 0)
        return false;
    m->SetMessage(scratch.get(), n);
    return true;
}

int JSocket::ReceiveMessage(void* buf, unsigned long len, unsigned short timeout, int fd)
{
    if (check_read(timeout, fd, 1) <= 0)
        return -1;
    if (type != UDP_SOCKET)
        return tcp_receive_msg(static_cast<char*>(buf), len, fd);
    // The sender's address lands in *addr, so the next send answers it.
    socklen_t length = static_cast<socklen_t>(addr_len);
    return receive_once(resolve_fd(-1), buf, len, 0, addr, &length);
}

int JSocket::tcp_send_msg(char* buf, unsigned long len, int fd)
{
    int routed = 0;
    if (type == TCP_SERVER && fd != -1 && fieldkit::detail::route_send(this, fd, buf, len, &routed))
        return routed;  // a serving JTCPServer's connection: its output queue decides
    const int descriptor = resolve_fd(fd);
    const ssize_t sent = send(descriptor, buf, len, MSG_NOSIGNAL);
    const int result = sent >= 0 ? 1 : tcp_check_connection();
    const int send_errno = errno;
    // A peer that stopped reading ends here: it sees the end, a server's reader frees its slot.
    if (send_timed_out(descriptor, sent, len))
        shutdown(descriptor, SHUT_RDWR);
    errno = send_errno;  // the caller sees why the send itself stopped
    return result;
}

int JSocket::tcp_receive_msg(char* buf, unsigned long len, int fd)
{
    const int descriptor = resolve_fd(fd);
    if (check_read(kStreamReadWaitMs, descriptor, 1) <= 0)
        return -1;
    const int n = receive_once(descriptor, buf, len, 0);
    return n > 0 ? n : -1;  // 0: the peer closed the connection
}

int JSocket::tcp_check_connection()
{
    switch (errno) {
    case EPIPE:
    case ENETUNREACH:
    case ECONNRESET:
    case ENOTCONN:
    case EHOSTUNREACH:
        return 0;
    default:
        return 1;
    }
}
