// SPDX-License-Identifier: MIT
#include "JTCPServer.h"

#include <fieldkit/core/Clock.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

namespace {

constexpr int kPassMs = 100;       // bound of every wait in both loops
constexpr int kStopPauseMs = 150;  // longer than one pass of either loop
constexpr size_t kReadBytes = 2048;  // most bytes one read delivers

// An int socket option of `fd`; -1 when it cannot be read.
int socket_option(int fd, int option)
{
    int value = -1;
    socklen_t length = sizeof value;
    return getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

// True when `fd` is a listening local stream socket.
bool is_local_listener(int fd)
{
    return fd >= 0 && socket_option(fd, SO_DOMAIN) == AF_UNIX && socket_option(fd, SO_TYPE) == SOCK_STREAM &&
           socket_option(fd, SO_ACCEPTCONN) == 1;
}

}  // namespace

void CONN::init()
{
    fd = -1;
    ready = false;
}

int thread_C::Initialize()
{
    stop = false;
    running = false;
    id = pthread_t{};
    return pthread_attr_init(&attr);
}

JTCPServer::JTCPServer()
    : connections(nullptr),
      connection_count(0),
      app(nullptr),
      wake_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      poll_set(nullptr),
      live_workers(0)
{
    new_connection_thread.Initialize();
    listen_thread.Initialize();
}

JTCPServer::JTCPServer(const char* name, int count) : JTCPServer()
{
    StartServer(name, count);
}

JTCPServer::~JTCPServer()
{
    StopThread();
    Cleanup();
    pthread_attr_destroy(&listen_thread.attr);
    pthread_attr_destroy(&new_connection_thread.attr);
    if (wake_fd != -1)
        close(wake_fd);
}

int JTCPServer::StartServer(const char* name, int count)
{
    if (count < 0)
        return 0;
    return start_serving(count, [&] { return InitializeSocket(name, TCP_SERVER, count); });
}

int JTCPServer::StartServerOnListener(int listener, int count)
{
    if (count < 0 || !is_local_listener(listener))
        return 0;
    return start_serving(count, [&] {
        ResetSocket();  // the old socket closes; a path it bound goes with it
        fcntl(listener, F_SETFD, fcntl(listener, F_GETFD) | FD_CLOEXEC);
        type = TCP_SERVER;  // direction stays 0 and name empty: no path is ours to remove
        local = true;
        connected = true;
        fd = listener;
        return 1;
    });
}

template <typename OpenSocket>
int JTCPServer::start_serving(int count, OpenSocket open_socket)
{
    Cleanup();
    if (!allocate_table(count) || !open_socket()) {
        Cleanup();
        return 0;
    }
    StartListeningThread();
    return 1;
}

bool JTCPServer::allocate_table(int count)
{
    const size_t entries = static_cast<size_t>(count) + 1;  // the slots and the wake-up descriptor
    if (entries > SIZE_MAX / sizeof(pollfd))
        return false;  // more than the address space holds (32-bit targets)
    poll_set = new (std::nothrow) pollfd[entries];
    if (!poll_set)
        return false;
    if (count == 0)
        return true;  // listens, but has no slot to serve a connection in
    connections = new (std::nothrow) CONN*[count]();
    if (!connections)
        return false;
    connection_count = count;
    for (int i = 0; i < count; ++i) {
        connections[i] = new (std::nothrow) CONN;
        if (!connections[i])
            return false;
        connections[i]->init();
    }
    return true;
}

void JTCPServer::Cleanup()
{
    if (new_connection_thread.running || listen_thread.running)
        StopThread();  // never free the table under a worker
    for (int i = 0; i < connection_count; ++i) {
        if (CONN* slot = connections[i]) {
            int client = slot->fd;
            tcp_drop_client(client);
            delete slot;
        }
    }
    delete[] connections;
    connections = nullptr;
    connection_count = 0;
    delete[] poll_set;
    poll_set = nullptr;
}

int JTCPServer::StartListeningThread()
{
    StartThread();
    return 1;
}

int JTCPServer::StartThread()
{
    StopThread();
    start_worker(new_connection_thread, new_connection_thread_start);
    return start_worker(listen_thread, listen_thread_start);
}

int JTCPServer::start_worker(thread_C& worker, void* (*entry)(void*))
{
    worker.stop = false;
    pthread_attr_setdetachstate(&worker.attr, PTHREAD_CREATE_DETACHED);
    ++live_workers;  // counted before the worker can report its end
    const int result = pthread_create(&worker.id, &worker.attr, entry, this);
    worker.running = result == 0;
    if (result != 0)
        --live_workers;
    return result;
}

void JTCPServer::StopThread()
{
    stop_worker(new_connection_thread);
    stop_worker(listen_thread);
    Sleep(kStopPauseMs);
    wait_for_workers();
}

void JTCPServer::stop_worker(thread_C& worker)
{
    if (!worker.running)
        return;
    worker.stop = true;
    int state = PTHREAD_CREATE_DETACHED;
    pthread_attr_getdetachstate(&worker.attr, &state);
    if (state == PTHREAD_CREATE_JOINABLE)  // only when the caller changed the attributes
        pthread_join(worker.id, nullptr);
    worker.running = false;
}

void JTCPServer::wait_for_workers()
{
    // Usually over already: the pause outlasts a pass. A worker inside a slow
    // OnMessage holds the stop here until it returns.
    while (live_workers.load() != 0)
        Sleep(1);
}

void JTCPServer::SetApp(JStdApp* application)
{
    app = application;
}

void* JTCPServer::new_connection_thread_start(void* server)
{
    return run_worker(server, &JTCPServer::new_connection_thread_routine);
}

void* JTCPServer::listen_thread_start(void* server)
{
    return run_worker(server, &JTCPServer::listen_thread_routine);
}

void* JTCPServer::run_worker(void* server, void (JTCPServer::*routine)())
{
    JTCPServer* self = static_cast<JTCPServer*>(server);
    (self->*routine)();
    self->live_workers.fetch_sub(1);  // the last touch: the server may be released from here on
    return nullptr;
}

void JTCPServer::new_connection_thread_routine()
{
    int candidate = -1;
    while (!new_connection_thread.stop) {
        if (candidate < 0)
            candidate = first_free_slot();
        if (!tcp_WaitForActivity(kPassMs)) {
            if (!listener_usable())
                Sleep(kPassMs);  // nothing to wait on returns at once: pace instead of spinning
            continue;
        }
        int client = -1;
        unsigned long peer = 0;
        if (candidate < 0 || !tcp_check_for_connection(&peer, &client, 0)) {
            // Every slot used (the connection waits in the backlog) or the accept
            // failed: the socket stays readable, so pause a pass instead of spinning.
            Sleep(kPassMs);
            continue;
        }
        connections[candidate]->fd = client;
        wake_reader();
        candidate = first_free_slot();
    }
    tcp_close_listening_socket();
}

void JTCPServer::listen_thread_routine()
{
    TCPMessage message;
    char buffer[kReadBytes];  // the one receive buffer of this thread's run
    while (!listen_thread.stop) {
        if (check_fds_read(kPassMs, 0) == 0)
            continue;
        for (int i = 0; i < connection_count; ++i)
            if (connections[i]->ready)
                serve_slot(*connections[i], message, buffer);
    }
}

void JTCPServer::serve_slot(CONN& slot, TCPMessage& message, char* buffer)
{
    // One read of what poll has just reported, as ReceiveMessage(&message, 0)
    // would do, but without its two further readiness polls (about a third of
    // a local round trip) and without ever blocking the loop.
    message.socket = slot.fd;
    const ssize_t got = recv(slot.fd, buffer, kReadBytes, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;  // nothing to read after all: the connection stays
    if (got > 0) {
        message.SetMessage(buffer, static_cast<int>(got));
        if (JStdApp* handler = app.load())
            handler->OnMessage(&message);
        return;
    }
    int client = slot.fd;  // end of stream or error: the connection is over
    tcp_drop_client(client);
    slot.fd = -1;  // free only once closed: the accepting thread may fill it now
}

unsigned char JTCPServer::check_fds_read(int timeout, int retry)
{
    pollfd idle{};  // a server without a table waits on the wake-up descriptor alone
    pollfd* set = poll_set ? poll_set : &idle;
    const int slots = connection_count;
    for (int i = 0; i < slots; ++i) {
        connections[i]->ready = false;
        set[i] = pollfd{connections[i]->fd, POLLIN, 0};  // free slots (-1) are skipped by poll
    }
    set[slots] = pollfd{wake_fd, POLLIN, 0};
    if (poll_readable(set, static_cast<unsigned long>(slots) + 1, timeout, retry) <= 0)
        return 0;
    if (set[slots].revents)
        drain_wake();
    unsigned int ready = 0;
    for (int i = 0; i < slots; ++i) {
        if (set[i].revents) {  // data, hang-up or error: the next read tells which
            connections[i]->ready = true;
            ++ready;
        }
    }
    return static_cast<unsigned char>(std::min(ready, 255u));  // never 0 while slots are ready
}

int JTCPServer::first_free_slot() const
{
    for (int i = 0; i < connection_count; ++i)
        if (connections[i]->fd == -1)
            return i;
    return -1;
}

bool JTCPServer::listener_usable()
{
    return type == TCP_SERVER && check_read(0, -1, 1) >= 0;
}

void JTCPServer::wake_reader()
{
    if (wake_fd == -1)
        return;
    const uint64_t one = 1;
    const ssize_t written = write(wake_fd, &one, sizeof one);
    (void)written;  // a full counter still wakes the reader
}

void JTCPServer::drain_wake()
{
    uint64_t count = 0;
    const ssize_t got = read(wake_fd, &count, sizeof count);  // resets the counter
    (void)got;
}
