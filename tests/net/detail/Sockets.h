// SPDX-License-Identifier: MIT
// Socket-pair chores of the server unit tests, never blocking: fill a sender, drain a receiver.
#pragma once

#include <sys/socket.h>

#include <string>

namespace fktest {

// Shrinks `fd`'s send buffer and writes until it takes no more: its next write gets EAGAIN.
inline void Fill(int fd)
{
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const char chunk[512] = {};
    while (send(fd, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
    }
}

// Everything readable on `fd` now.
inline std::string Drain(int fd)
{
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    return got;
}

}  // namespace fktest
