// SPDX-License-Identifier: MIT
// Facts and small helpers shared by the socket and server sources. Internal:
// not installed, not part of the library's interface.
#pragma once

#include <fieldkit/core/Clock.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <cstddef>

namespace fieldkit::detail {

// Most bytes one receive into a Message delivers (a received message's buffer size).
constexpr unsigned long kMessageReceiveSize = 2048;

// Address family of a socket: AF_UNIX for a local one, AF_INET otherwise.
inline int address_family(bool local)
{
    return local ? AF_UNIX : AF_INET;
}

// One receive on `fd`, without any readiness wait: a single recvfrom of at most
// `len` bytes (capped at INT_MAX so every count fits the result) with `flags`.
// `from`/`from_len` (both null or both set) receive the sender's address.
// Result: bytes received (>0), 0 when a stream peer closed (or an empty datagram
// arrived), -1 on error with errno set (EAGAIN for MSG_DONTWAIT with nothing there).
inline int receive_once(int fd, void* buf, unsigned long len, int flags,
                        sockaddr* from = nullptr, socklen_t* from_len = nullptr)
{
    const size_t capped = len > static_cast<unsigned long>(INT_MAX) ? static_cast<size_t>(INT_MAX)
                                                                   : static_cast<size_t>(len);
    return static_cast<int>(recvfrom(fd, buf, capped, flags, from, from_len));
}

// An int socket option of `fd` (SO_DOMAIN, SO_TYPE, SO_ACCEPTCONN...); -1 when
// it cannot be read.
inline int socket_option(int fd, int option)
{
    int value = -1;
    socklen_t length = sizeof value;
    return getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

// Bounds the sends of `fd` to `ms` milliseconds (SO_SNDTIMEO; 0: no bound).
// True when set.
inline bool set_send_timeout(int fd, int ms)
{
    const timeval bound{ms / 1000, (ms % 1000) * 1000};
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) == 0;
}

// Calls `wait(ms)` (poll or epoll_wait: ms -1 waits without limit) for at most
// `timeout` ms (negative: no limit). retry == 0: one call, its result. retry != 0:
// a call interrupted by a signal is made again with the time that remains, and
// 0 is the result once `timeout` has passed. Otherwise the call's result (-1
// with errno on failure).
template <typename Wait>
int wait_retrying(int timeout, int retry, Wait wait)
{
    if (!retry)
        return wait(timeout < 0 ? -1 : timeout);
    const unsigned int start = GetTickCount();
    for (;;) {
        int pass = timeout < 0 ? -1 : timeout;
        if (timeout > 0) {
            const unsigned int elapsed = GetTickCount() - start;
            if (elapsed > static_cast<unsigned int>(timeout))
                return 0;
            pass = timeout - static_cast<int>(elapsed);
        }
        const int n = wait(pass);
        if (n != -1 || errno != EINTR)
            return n;
    }
}

}  // namespace fieldkit::detail
