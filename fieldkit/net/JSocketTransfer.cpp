// SPDX-License-Identifier: MIT
#include "JSocket.h"

#include <cerrno>
#include <climits>
#include <memory>

namespace {

constexpr unsigned long kMessageReceiveSize = 2048;
constexpr int kStreamReadWaitMs = 10;

// Receive sizes are capped so that every byte count fits the int result.
size_t ReceiveSize(unsigned long len)
{
    return len > static_cast<unsigned long>(INT_MAX) ? static_cast<size_t>(INT_MAX)
                                                     : static_cast<size_t>(len);
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
    return static_cast<int>(recvfrom(resolve_fd(-1), buf, ReceiveSize(len), 0, addr, &length));
}

int JSocket::tcp_send_msg(char* buf, unsigned long len, int fd)
{
    if (send(resolve_fd(fd), buf, len, MSG_NOSIGNAL) >= 0)
        return 1;
    return tcp_check_connection();
}

int JSocket::tcp_receive_msg(char* buf, unsigned long len, int fd)
{
    const int descriptor = resolve_fd(fd);
    if (check_read(kStreamReadWaitMs, descriptor, 1) <= 0)
        return -1;
    const ssize_t n = recv(descriptor, buf, ReceiveSize(len), 0);
    return n > 0 ? static_cast<int>(n) : -1;  // 0: the peer closed the connection
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
