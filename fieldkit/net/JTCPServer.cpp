// SPDX-License-Identifier: MIT
#include "JTCPServer.h"

#include <fieldkit/core/Clock.h>
#include <fieldkit/net/detail/SocketDetail.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>

using fieldkit::detail::kMessageReceiveSize;
using fieldkit::detail::receive_once;
using fieldkit::detail::socket_option;

namespace {

constexpr int kPassMs = 100;                // bound of every wait in both loops
constexpr int kStopPauseMs = 150;           // longer than one pass of either loop
constexpr int kDefaultSendTimeoutMs = 1000;
constexpr uint32_t kWakeTag = UINT32_MAX;   // event tag of the wake-up descriptor; slots are tagged by index

// True when `fd` is a listening local stream socket.
bool is_local_listener(int fd)
{
    return fd >= 0 && socket_option(fd, SO_DOMAIN) == AF_UNIX && socket_option(fd, SO_TYPE) == SOCK_STREAM &&
           socket_option(fd, SO_ACCEPTCONN) == 1;
}

int make_event_fd()
{
    return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void close_if_open(int& fd)
{
    if (fd != -1)
        close(fd);
    fd = -1;
}

void signal_event(int event_fd)
{
    const uint64_t one = 1;
    const ssize_t written = write(event_fd, &one, sizeof one);
    (void)written;  // -1 (no descriptor) or a full counter: the waiter wakes within a pass anyway
}

void drain_event(int event_fd)
{
    uint64_t count = 0;
    const ssize_t got = read(event_fd, &count, sizeof count);  // resets the counter
    (void)got;
}

void set_send_timeout(int fd, int ms)
{
    const timeval bound{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
}

long long monotonic_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

// The reading thread's view of one slot.
struct JTCPServer::slot_watch {
    int watched = -1;           // descriptor registered for the slot in epoll_fd_; -1 none
    long long heard_at_ms = 0;  // monotonic time of the acceptance or the last message
};

struct JTCPServer::server_state {
    int slot_freed_fd_ = make_event_fd();  // eventfd: reading thread -> accepting thread; -1 if unavailable
    int epoll_fd_ = -1;                    // readiness of the slots and of wake_fd_; -1 without a table
    std::unique_ptr<slot_watch[]> watches_;  // one per slot
    std::unique_ptr<epoll_event[]> events_;  // connection_count + 1 entries
    std::unique_ptr<int[]> ready_slots_;     // indices of the ready slots, ascending
    int ready_count_ = 0;                    // entries of ready_slots_ from the last check
    std::atomic<int> send_timeout_ms_{kDefaultSendTimeoutMs};
    std::atomic<unsigned> send_timeout_changes_{0};  // bumped by SetSendTimeout
    unsigned send_timeout_applied_ = 0;              // changes the reading thread has applied
    std::atomic<int> idle_timeout_ms_{0};
};

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
      wake_fd_(-1),
      state_(new server_state),
      live_workers_(0)
{
    wake_fd_ = make_event_fd();  // only once nothing can throw any more
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
    close_if_open(wake_fd_);
    close_if_open(state_->slot_freed_fd_);
    delete state_;
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
    if (entries > SIZE_MAX / sizeof(epoll_event))
        return false;  // more than the address space holds (32-bit targets)
    state_->events_.reset(new (std::nothrow) epoll_event[entries]);
    state_->epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (!state_->events_ || state_->epoll_fd_ == -1)
        return false;
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u32 = kWakeTag;
    if (wake_fd_ != -1)
        epoll_ctl(state_->epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &wake);
    if (count == 0)
        return true;  // listens, but has no slot to serve a connection in
    state_->watches_.reset(new (std::nothrow) slot_watch[static_cast<size_t>(count)]);
    state_->ready_slots_.reset(new (std::nothrow) int[static_cast<size_t>(count)]);
    connections = new (std::nothrow) CONN*[count]();
    if (!state_->watches_ || !state_->ready_slots_ || !connections)
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
    close_if_open(state_->epoll_fd_);  // first: no registration outlives the descriptors below
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
    state_->watches_.reset();
    state_->events_.reset();
    state_->ready_slots_.reset();
    state_->ready_count_ = 0;
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
    ++live_workers_;  // counted before the worker can report its end
    const int result = pthread_create(&worker.id, &worker.attr, entry, this);
    worker.running = result == 0;
    if (result != 0)
        --live_workers_;
    return result;
}

void JTCPServer::StopThread()
{
    if (!new_connection_thread.running && !listen_thread.running)
        return;  // nothing to give time to leave
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
    while (live_workers_.load() != 0)
        Sleep(1);
}

void JTCPServer::SetApp(JStdApp* application)
{
    app = application;
}

void JTCPServer::SetSendTimeout(int ms)
{
    if (ms < 0)
        return;
    state_->send_timeout_ms_ = ms;
    ++state_->send_timeout_changes_;
    signal_event(wake_fd_);  // the reading thread applies it at the start of its next pass
}

void JTCPServer::SetIdleTimeout(int ms)
{
    if (ms >= 0)
        state_->idle_timeout_ms_ = ms;
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
    self->live_workers_.fetch_sub(1);  // the last touch: the server may be released from here on
    return nullptr;
}

void JTCPServer::new_connection_thread_routine()
{
    int candidate = -1;
    while (!new_connection_thread.stop) {
        if (candidate < 0)
            candidate = first_free_slot();
        if (candidate < 0) {
            wait_for_free_slot();  // the connection waits in the backlog meanwhile
            continue;
        }
        if (!tcp_WaitForActivity(kPassMs)) {
            if (!listener_usable())
                Sleep(kPassMs);  // nothing to wait on returns at once: pace instead of spinning
            continue;
        }
        int client = -1;
        unsigned long peer = 0;
        if (!tcp_check_for_connection(&peer, &client, 0)) {
            // Descriptors exhausted (or the client gave up): the socket stays
            // readable, so wait for a descriptor to come back instead of spinning.
            wait_for_free_slot();
            continue;
        }
        connections[candidate]->fd = client;
        signal_event(wake_fd_);
        candidate = first_free_slot();
    }
    tcp_close_listening_socket();
}

void JTCPServer::wait_for_free_slot()
{
    pollfd freed{state_->slot_freed_fd_, POLLIN, 0};  // -1 is skipped: a plain pause of one pass
    const int n = poll(&freed, 1, kPassMs);
    if (n > 0)
        drain_event(state_->slot_freed_fd_);
    else if (n < 0 && errno != EINTR)
        Sleep(kPassMs);
}

void JTCPServer::listen_thread_routine()
{
    TCPMessage message;
    char buffer[kMessageReceiveSize];  // the one receive buffer of this thread's run
    while (!listen_thread.stop) {
        if (check_fds_read(kPassMs, 0) != 0) {
            for (int k = 0; k < state_->ready_count_; ++k)  // ascending: slot order
                if (connections[state_->ready_slots_[k]]->ready)
                    serve_slot(state_->ready_slots_[k], message, buffer);
        }
        drop_idle_slots();
    }
}

unsigned char JTCPServer::check_fds_read(int timeout, int retry)
{
    state_->ready_count_ = 0;
    watch_slots();
    if (state_->ready_count_ > 0)
        timeout = 0;  // unwatchable slots are ready now, as poll reports a bad descriptor at once
    const int events = wait_for_events(timeout, retry);
    for (int e = 0; e < events; ++e) {
        const uint32_t tag = state_->events_[e].data.u32;
        if (tag == kWakeTag)
            drain_event(wake_fd_);
        else if (connections[tag]->fd == state_->watches_[tag].watched)  // data, hang-up or error: the read tells
            mark_ready(static_cast<int>(tag));
    }
    std::sort(state_->ready_slots_.get(), state_->ready_slots_.get() + state_->ready_count_);
    return static_cast<unsigned char>(std::min(state_->ready_count_, 255));  // never 0 while slots are ready
}

void JTCPServer::watch_slots()
{
    const unsigned changes = state_->send_timeout_changes_;
    const bool retime = changes != state_->send_timeout_applied_;
    state_->send_timeout_applied_ = changes;
    const int send_timeout_ms = state_->send_timeout_ms_;
    // One cheap pass over the table: no system call for a slot that did not change.
    // Changed descriptors are all forgotten before any is watched: a number
    // closed in one slot may come back in another.
    bool unwatched = false;
    for (int i = 0; i < connection_count; ++i) {
        CONN& slot = *connections[i];
        if (slot.ready.load(std::memory_order_relaxed))  // the reading thread's own flag
            slot.ready.store(false, std::memory_order_relaxed);
        const int current = slot.fd.load(std::memory_order_acquire);
        slot_watch& watch = state_->watches_[i];
        if (watch.watched == current) {
            if (retime && current != -1)
                set_send_timeout(current, send_timeout_ms);
            continue;
        }
        if (watch.watched != -1) {
            epoll_ctl(state_->epoll_fd_, EPOLL_CTL_DEL, watch.watched, nullptr);
            watch.watched = -1;
        }
        unwatched = unwatched || current != -1;
    }
    for (int i = 0; unwatched && i < connection_count; ++i)
        if (state_->watches_[i].watched == -1 && connections[i]->fd != -1)
            watch_slot(i, send_timeout_ms);
}

void JTCPServer::watch_slot(int index, int send_timeout_ms)
{
    const int client = connections[index]->fd;
    epoll_event event{};
    event.events = EPOLLIN;  // level-triggered: unread bytes keep the slot ready
    event.data.u32 = static_cast<uint32_t>(index);
    if (epoll_ctl(state_->epoll_fd_, EPOLL_CTL_ADD, client, &event) != 0) {
        if (errno == EBADF || errno == EPERM)
            mark_ready(index);  // not a socket that is open: the read fails and frees the slot
        return;                 // otherwise tried again next pass
    }
    set_send_timeout(client, send_timeout_ms);
    state_->watches_[index] = slot_watch{client, monotonic_ms()};
}

void JTCPServer::mark_ready(int index)
{
    if (connections[index]->ready.exchange(true))
        return;
    state_->ready_slots_[state_->ready_count_++] = index;
}

int JTCPServer::wait_for_events(int timeout, int retry)
{
    const int n = fieldkit::detail::wait_retrying(timeout, retry, [&](int ms) {
        return epoll_wait(state_->epoll_fd_, state_->events_.get(), connection_count + 1, ms);
    });
    if (n >= 0)
        return n;
    if (errno != EINTR)
        Sleep(timeout < 0 ? kPassMs : timeout);  // a failing wait returns at once: pace it
    return 0;
}

void JTCPServer::serve_slot(int index, TCPMessage& message, char* buffer)
{
    // One read of what epoll has just reported, as ReceiveMessage(&message, 0)
    // would do, but without its two further readiness polls and without ever
    // blocking the loop.
    CONN& slot = *connections[index];
    message.socket = slot.fd;
    const int got = receive_once(slot.fd, buffer, kMessageReceiveSize, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;  // nothing to read after all: the connection stays
    if (got <= 0) {
        free_slot(index);  // end of stream or error: the connection is over
        return;
    }
    state_->watches_[index].heard_at_ms = monotonic_ms();
    message.SetMessage(buffer, got);
    if (JStdApp* handler = app.load())
        handler->OnMessage(&message);
}

void JTCPServer::drop_idle_slots()
{
    const int idle_ms = state_->idle_timeout_ms_;
    if (idle_ms == 0)
        return;
    const long long now = monotonic_ms();
    for (int i = 0; i < connection_count; ++i) {
        const slot_watch& watch = state_->watches_[i];
        if (watch.watched != -1 && watch.watched == connections[i]->fd && now - watch.heard_at_ms >= idle_ms)
            free_slot(i);
    }
}

void JTCPServer::free_slot(int index)
{
    CONN& slot = *connections[index];
    int client = slot.fd;
    if (state_->watches_[index].watched == client) {
        epoll_ctl(state_->epoll_fd_, EPOLL_CTL_DEL, client, nullptr);  // before the number can be reused
        state_->watches_[index].watched = -1;
    }
    tcp_drop_client(client);
    slot.fd = -1;  // free only once closed: the accepting thread may fill it now
    signal_event(state_->slot_freed_fd_);
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
