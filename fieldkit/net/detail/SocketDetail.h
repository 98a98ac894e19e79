// SPDX-License-Identifier: MIT
// Facts and small helpers shared by the socket and server sources. Internal:
// not installed, not part of the library's interface.
#pragma once

#include <sys/socket.h>

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

}  // namespace fieldkit::detail
