// Shared by the JTCPServer tests: raw local-socket clients (independent of
// JSocket, so that they can close abruptly and time their waits) and an
// application that answers every message with its own bytes.
#pragma once

#include <fieldkit/core/Clock.h>
#include <fieldkit/net/JTCPServer.h>

#include "support/TestSupport.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace servertest {

// A stream socket connected to the local path; -1 when the connect failed.
inline int ConnectLocal(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends every byte without raising SIGPIPE; false when the connection failed.
inline bool SendAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Receives until `count` bytes arrived, the peer closed or failed, or
// `timeout_ms` passed; returns what arrived.
inline std::string ReceiveUpTo(int fd, size_t count, int timeout_ms)
{
    std::string got;
    const unsigned int start = GetTickCount();
    while (got.size() < count) {
        const int left = timeout_ms - static_cast<int>(GetTickCount() - start);
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            break;
        char buf[4096];
        const ssize_t n = recv(fd, buf, std::min(sizeof buf, count - got.size()), 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// True when the peer closed the connection (end of stream or reset) within
// `timeout_ms`; data still queued is read and dropped on the way.
inline bool PeerClosed(int fd, int timeout_ms)
{
    const unsigned int start = GetTickCount();
    for (;;) {
        const int left = timeout_ms - static_cast<int>(GetTickCount() - start);
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            return false;
        char buf[4096];
        if (recv(fd, buf, sizeof buf, 0) <= 0)
            return true;
    }
}

// Polls `done` every 2 ms; true once it holds, false after `timeout_ms`.
template <typename Pred>
bool WaitUntil(Pred done, int timeout_ms = 10000)
{
    const unsigned int start = GetTickCount();
    while (!done()) {
        if (static_cast<int>(GetTickCount() - start) > timeout_ms)
            return false;
        Sleep(2);
    }
    return true;
}

// Slots holding a connection.
inline int UsedSlots(const JTCPServer& server)
{
    int used = 0;
    for (int i = 0; i < server.connection_count; ++i)
        used += server.connections[i]->fd != -1;
    return used;
}

// Answers every message with its bytes on the same connection, and records
// what it saw (bytes, connection, thread) for the test to check. Declare it
// before the server: the server must stop before the application goes.
class EchoApp : public JStdApp {
public:
    void Serve(JTCPServer& server)
    {
        server_ = &server;
        server.SetApp(this);
    }

    int OnMessage(TCPMessage* m) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.emplace_back(m->data, m->length);
            sockets_.push_back(m->socket);
            last_thread_ = pthread_self();
        }
        bytes_ += m->length;
        server_->SendMessage(m);
        return 0;
    }

    std::vector<std::string> Messages()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::vector<int> Sockets()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return sockets_;
    }
    pthread_t LastThread()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_thread_;
    }
    size_t Bytes() const { return bytes_; }

private:
    JTCPServer* server_ = nullptr;
    std::mutex mutex_;
    std::vector<std::string> messages_;
    std::vector<int> sockets_;
    pthread_t last_thread_{};
    std::atomic<size_t> bytes_{0};  // word-sized: lock-free on 32-bit targets too
};

// A server with `count` slots on a fresh path, answered by an EchoApp unless
// `serve` is false. Members go in reverse: the server stops before the
// application goes, and the directory goes last.
struct EchoServer {
    explicit EchoServer(int count, bool serve = true) : server(path.c_str(), count)
    {
        if (serve)
            app.Serve(server);
    }
    fktest::TempDir dir;
    const std::string path = dir.path("srv");
    EchoApp app;
    JTCPServer server;
};

}  // namespace servertest
