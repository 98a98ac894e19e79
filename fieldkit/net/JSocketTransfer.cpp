// SPDX-License-Identifier: MIT
#include "JSocket.h"

#include <fieldkit/net/detail/SendRoutes.h>
#include <fieldkit/net/detail/SocketDetail.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>

using fieldkit::detail::kMessageReceiveSize;
using fieldkit::detail::receive_once;

namespace {

using SendClock = std::chrono::steady_clock;

constexpr int kStreamReadWaitMs = 10;

// The send time-out (SO_SNDTIMEO) of a blocking descriptor in ms, rounded up;
// 0 when it has none or is non-blocking (a non-blocking short send is its own business).
long long blocking_send_bound_ms(int descriptor)
{
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags == -1 || (flags & O_NONBLOCK))
        return 0;
    timeval bound{};
    socklen_t size = sizeof bound;
    if (getsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &bound, &size) != 0)
        return 0;
    return static_cast<long long>(bound.tv_sec) * 1000 + (bound.tv_usec + 999) / 1000;
}

// Milliseconds of `bound_ms` left since `start`, rounded up; 0 or less when spent.
long long remaining_ms(SendClock::time_point start, long long bound_ms)
{
    using std::chrono::microseconds;
    const long long used_us = std::chrono::duration_cast<microseconds>(SendClock::now() - start).count();
    return (bound_ms * 1000 - used_us + 999) / 1000;
}

// Waits up to `ms` for `descriptor` to take bytes: poll's result (-1 with
// EINTR when a signal ended the wait).
int wait_writable(int descriptor, long long ms)
{
    pollfd entry{descriptor, POLLOUT, 0};
    return poll(&entry, 1, static_cast<int>(std::min<long long>(ms, INT_MAX)));
}

// Continues a send on a descriptor with a send time-out that a signal broke
// off (EINTR, or a short count taken before the time ran out): waits for room
// and sends the rest without blocking, until all `len` bytes went out or the
// bound counted from `start` is spent. Result as send(): bytes sent, or -1
// with errno (EAGAIN when the time ran out before the first byte).
ssize_t continue_bounded_send(int descriptor, const char* buf, size_t len, ssize_t sent,
                              SendClock::time_point start, long long bound_ms, const sockaddr* to,
                              socklen_t to_len)
{
    size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;
    while (done < len) {
        const long long left = remaining_ms(start, bound_ms);
        const int ready = left > 0 ? wait_writable(descriptor, left) : 0;
        if (ready == -1 && errno == EINTR)
            continue;  // the next pass waits for what is left
        if (ready <= 0)
            break;
        const ssize_t n = sendto(descriptor, buf + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT, to, to_len);
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (done > 0)
        return static_cast<ssize_t>(done);
    errno = EAGAIN;
    return -1;
}

// One sendto of the whole message; the common case ends there. When a signal
// broke it off on a descriptor with a send time-out, the send goes on for the
// rest of that time: a signal neither loses bytes nor passes for a time-out.
ssize_t send_within_bound(int descriptor, const char* buf, size_t len, const sockaddr* to, socklen_t to_len)
{
    const SendClock::time_point start = SendClock::now();
    const ssize_t sent = sendto(descriptor, buf, len, MSG_NOSIGNAL, to, to_len);
    if (sent >= 0 ? static_cast<size_t>(sent) == len : errno != EINTR)
        return sent;
    const int send_errno = errno;
    const long long bound_ms = blocking_send_bound_ms(descriptor);
    if (bound_ms == 0 || remaining_ms(start, bound_ms) <= 0) {
        errno = send_errno;
        return sent;
    }
    return continue_bounded_send(descriptor, buf, len, sent, start, bound_ms, to, to_len);
}

// True when a send of `len` bytes that gave `sent` was cut short by the send
// time-out of a blocking descriptor: a short count, or EAGAIN without O_NONBLOCK,
// while SO_SNDTIMEO is set.
bool send_timed_out(int descriptor, ssize_t sent, unsigned long len)
{
    const bool short_send = sent >= 0 ? static_cast<unsigned long>(sent) < len
                                      : (errno == EAGAIN || errno == EWOULDBLOCK);
    return short_send && blocking_send_bound_ms(descriptor) > 0;
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
    const ssize_t sent = send_within_bound(resolve_fd(-1), static_cast<const char*>(buf), len, addr,
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
    const ssize_t sent = send_within_bound(descriptor, buf, len, nullptr, 0);
    const int result = sent >= 0 ? 1 : tcp_check_connection();
    const int send_errno = errno;
    // A peer that stopped reading ends here: it sees the end, a server's reader frees its slot.
    if (send_timed_out(descriptor, sent, len))
        shutdown(descriptor, SHUT_RDWR);
    errno = send_errno;  // the caller sees why the send itself stopped
    return result;
}

int JSocket::SetSendTimeout(int ms)
{
    // A listening socket sends nothing; its accepted connections carry their own bound.
    const int descriptor = resolve_fd(-1);
    if (ms < 0 || descriptor == -1 || type == TCP_SERVER)
        return 0;
    return fieldkit::detail::set_send_timeout(descriptor, ms) ? 1 : 0;
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
