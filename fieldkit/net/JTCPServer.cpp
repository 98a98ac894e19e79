// SPDX-License-Identifier: MIT
// JTCPServer: the lifecycle of a server and its two loops. The readiness set
// of a reading thread lives in detail/Readiness, the state of one connection
// (output queue, peer, counters) in detail/Connection.
#include "JTCPServer.h"

#include <fieldkit/core/Clock.h>
#include <fieldkit/net/detail/Connection.h>
#include <fieldkit/net/detail/Readiness.h>
#include <fieldkit/net/detail/SendRoutes.h>
#include <fieldkit/net/detail/SocketDetail.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>

using fieldkit::detail::Connection;
using fieldkit::detail::FlushResult;
using fieldkit::detail::kMessageReceiveSize;
using fieldkit::detail::monotonic_ms;
using fieldkit::detail::PeerIdentity;
using fieldkit::detail::ReadinessSet;
using fieldkit::detail::receive_once;
using fieldkit::detail::SendResult;
using fieldkit::detail::socket_option;

namespace {

constexpr int kPassMs = 100;                // bound of every wait in both loops
constexpr int kStopPauseMs = 150;           // longer than one pass of either loop
constexpr int kDefaultSendTimeoutMs = 1000;
constexpr long kDefaultSendBufferLimit = 64 * 1024;
constexpr int kMaxReadingThreads = 64;

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

PeerIdentity peer_of(JSocket& server, int fd)
{
    PeerIdentity peer;
    peer.known = server.GetPeerCredentials(fd, &peer.pid, &peer.uid, &peer.gid) == 1;
    return peer;
}

JConnectionInfo info_of(int slot, int fd, const PeerIdentity& peer)
{
    return JConnectionInfo{slot, fd, peer.known, peer.pid, peer.uid, peer.gid};
}

}  // namespace

// One reading thread: its control record (the first one's is listen_thread),
// wake-up descriptor, readiness set and how many connections it serves.
struct reader_state {
    JTCPServer* server = nullptr;
    int index = 0;                         // its place among the server's reading threads
    thread_C own_thread;                   // used by every reading thread but the first
    thread_C* thread = &own_thread;
    int wake_fd = -1;                      // the first reading thread's is the server's wake_fd_
    ReadinessSet set;
    std::atomic<int> connections{0};       // slots it serves
    std::atomic<bool> output_news{false};  // a queue started to fill or passed its limit
    bool output_left = false;              // one of its connections still had output or was draining
    unsigned send_timeout_applied = 0;     // SetSendTimeout changes it has applied
};

namespace {

thread_local reader_state* current_reader = nullptr;  // the reading thread running on this thread
thread_local int current_slot = -1;                   // the slot whose message it is delivering

void notify_reader(reader_state& reader)
{
    reader.output_news.store(true, std::memory_order_release);
    if (current_reader != &reader)  // the reading thread itself sees the news at the end of its pass
        signal_event(reader.wake_fd);
}

}  // namespace

// Everything the workers share beyond the public fields, and the steps of the
// two loops. A member of JTCPServer, so it may use the server's private parts.
struct FIELDKIT_LOCAL JTCPServer::server_state final : fieldkit::detail::SendRoute {
    explicit server_state(JTCPServer& owner) : server(owner) {}
    ~server_state();

    // Lifecycle.
    bool allocate_table(int count);
    bool make_readers(int slots);
    void release_readers();
    void remake_readers();
    void release_table();
    template <typename OpenSocket>
    int start_serving(int count, OpenSocket open_socket);
    int start_worker(thread_C& worker, void* (*entry)(void*), void* argument);
    void stop_worker(thread_C& worker);
    static void* further_reader_start(void* reader);
    // Thread body: runs the loop, then reports the worker's end.
    template <typename Loop>
    static void* run_worker(JTCPServer& server, Loop loop);

    // Accepting thread.
    void accept_loop();
    int first_free_slot() const;
    bool listener_usable();
    void wait_for_free_slot();
    bool over_user_limit(const PeerIdentity& peer, const PeerIdentity* held) const;
    bool place(int slot, int client, const PeerIdentity& peer);
    int least_busy_reader() const;

    // Reading threads.
    void read_loop(reader_state& reader);
    int check(reader_state* reader, int timeout, int retry);
    void serve_slot(reader_state& reader, int slot, TCPMessage& message, char* buffer);
    void flush_slot(reader_state& reader, int slot);
    void end_connection(reader_state& reader, int slot, conn_close_reason reason);
    void sweep(reader_state& reader);
    void free_slot(reader_state& reader, int slot, conn_close_reason reason);

    // Sends through the server object.
    bool send(int fd, const char* buf, unsigned long len, int* result) override;
    int find_slot(int fd) const;

    JTCPServer& server;
    int slot_freed_fd = make_event_fd();      // eventfd: reading threads -> accepting thread; -1 if unavailable
    std::unique_ptr<Connection[]> conns;      // one per slot
    std::unique_ptr<reader_state[]> readers;  // reader_count entries, made by the start
    int reader_count = 0;
    int reading_threads = 1;                  // what the next start makes
    std::atomic<int> send_timeout_ms{kDefaultSendTimeoutMs};
    std::atomic<unsigned> send_timeout_changes{0};  // bumped by SetSendTimeout
    std::atomic<int> idle_timeout_ms{0};
    std::atomic<long> send_buffer_limit{kDefaultSendBufferLimit};
    std::atomic<int> connections_per_user{0};
    std::atomic<JConnectionEvents*> events{nullptr};
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
      state_(new server_state(*this)),
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
    delete state_;
}

JTCPServer::server_state::~server_state()
{
    close_if_open(slot_freed_fd);
}

int JTCPServer::StartServer(const char* name, int count)
{
    if (count < 0)
        return 0;
    return state_->start_serving(count, [&] { return InitializeSocket(name, TCP_SERVER, count); });
}

int JTCPServer::StartServerOnListener(int listener, int count)
{
    if (count < 0 || !is_local_listener(listener))
        return 0;
    return state_->start_serving(count, [&] {
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
int JTCPServer::server_state::start_serving(int count, OpenSocket open_socket)
{
    server.Cleanup();
    if (!allocate_table(count) || !open_socket()) {
        server.Cleanup();
        return 0;
    }
    fieldkit::detail::add_route(&server, this);
    server.StartListeningThread();
    return 1;
}

// The readers, the connection records and the slots; false when memory or
// descriptors ran out, with whatever was made left for Cleanup.
bool JTCPServer::server_state::allocate_table(int count)
{
    if (!make_readers(count))
        return false;
    if (count == 0)
        return true;  // listens, but has no slot to serve a connection in
    conns.reset(new (std::nothrow) Connection[static_cast<size_t>(count)]);
    server.connections = new (std::nothrow) CONN*[count]();
    if (!conns || !server.connections)
        return false;
    server.connection_count = count;
    for (int i = 0; i < count; ++i) {
        server.connections[i] = new (std::nothrow) CONN;
        if (!server.connections[i])
            return false;
        server.connections[i]->init();
    }
    return true;
}

// `reading_threads` readers, each with a readiness set for `slots` slots.
bool JTCPServer::server_state::make_readers(int slots)
{
    const int made = reading_threads;
    readers.reset(new (std::nothrow) reader_state[static_cast<size_t>(made)]);
    if (!readers)
        return false;
    reader_count = made;
    for (int r = 0; r < made; ++r) {  // every record complete before anything can fail
        reader_state& reader = readers[r];
        reader.server = &server;
        reader.index = r;
        if (r == 0) {
            reader.thread = &server.listen_thread;
            reader.wake_fd = server.wake_fd_;
        } else {
            reader.own_thread.Initialize();
            reader.wake_fd = make_event_fd();
        }
    }
    for (int r = 0; r < made; ++r)
        if (!readers[r].set.open(slots, readers[r].wake_fd))
            return false;
    return true;
}

void JTCPServer::server_state::release_readers()
{
    for (int r = 1; r < reader_count; ++r) {
        close_if_open(readers[r].wake_fd);
        pthread_attr_destroy(&readers[r].own_thread.attr);
    }
    readers.reset();
    reader_count = 0;
}

// On stopped workers: as many readers as SetReadingThreads asks for now, the
// connections shared out among them in turn.
void JTCPServer::server_state::remake_readers()
{
    release_readers();
    if (!make_readers(server.connection_count))
        return;
    for (int i = 0; i < server.connection_count; ++i) {
        const int reader = i % reader_count;
        conns[i].move_to(reader);
        if (server.connections[i]->fd != -1)
            ++readers[reader].connections;
    }
}

void JTCPServer::Cleanup()
{
    if (new_connection_thread.running || listen_thread.running)
        StopThread();  // never free the table under a worker
    state_->release_table();
}

void JTCPServer::server_state::release_table()
{
    fieldkit::detail::remove_route(this);  // waits for sends under way
    for (int r = 0; r < reader_count; ++r)
        readers[r].set.close();  // first: no registration outlives the descriptors below
    JConnectionEvents* observer = events.load();
    for (int i = 0; i < server.connection_count; ++i) {
        CONN* slot = server.connections[i];
        if (!slot)
            continue;
        int client = slot->fd;
        if (conns && conns[i].speaks_for(client)) {
            conns[i].flush();  // one last try: replies already sent should not be lost
            conns[i].close();
            if (observer)
                observer->OnClose(info_of(i, client, conns[i].peer()), CLOSED_SERVER_STOP);
        }
        server.tcp_drop_client(client);
        delete slot;
    }
    delete[] server.connections;
    server.connections = nullptr;
    server.connection_count = 0;
    conns.reset();
    release_readers();
}

int JTCPServer::StartListeningThread()
{
    StartThread();
    return 1;
}

int JTCPServer::StartThread()
{
    StopThread();
    if (state_->reader_count != 0 && state_->reader_count != state_->reading_threads)
        state_->remake_readers();
    // Further reading threads first: the accepting thread hands connections
    // only to reading threads that run.
    for (int r = 1; r < state_->reader_count; ++r)
        state_->start_worker(state_->readers[r].own_thread, server_state::further_reader_start, &state_->readers[r]);
    state_->start_worker(new_connection_thread, new_connection_thread_start, this);
    return state_->start_worker(listen_thread, listen_thread_start, this);
}

int JTCPServer::server_state::start_worker(thread_C& worker, void* (*entry)(void*), void* argument)
{
    worker.stop = false;
    pthread_attr_setdetachstate(&worker.attr, PTHREAD_CREATE_DETACHED);
    ++server.live_workers_;  // counted before the worker can report its end
    const int result = pthread_create(&worker.id, &worker.attr, entry, argument);
    worker.running = result == 0;
    if (result != 0)
        --server.live_workers_;
    return result;
}

void JTCPServer::StopThread()
{
    bool any = new_connection_thread.running || listen_thread.running;
    for (int r = 1; r < state_->reader_count; ++r)
        any = any || state_->readers[r].own_thread.running;
    if (!any)
        return;  // nothing to give time to leave
    state_->stop_worker(new_connection_thread);
    state_->stop_worker(listen_thread);
    for (int r = 1; r < state_->reader_count; ++r)
        state_->stop_worker(state_->readers[r].own_thread);
    Sleep(kStopPauseMs);
    // Usually over already: the pause outlasts a pass. A worker inside a slow
    // OnMessage holds the stop here until it returns.
    while (live_workers_.load() != 0)
        Sleep(1);
}

void JTCPServer::server_state::stop_worker(thread_C& worker)
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

void JTCPServer::SetApp(JStdApp* application)
{
    app = application;
}

void JTCPServer::SetSendTimeout(int ms)
{
    if (ms < 0)
        return;
    state_->send_timeout_ms = ms;
    ++state_->send_timeout_changes;
    signal_event(wake_fd_);  // the first reading thread applies it at once, the others within a pass
}

void JTCPServer::SetIdleTimeout(int ms)
{
    if (ms >= 0)
        state_->idle_timeout_ms = ms;
}

void JTCPServer::SetSendBufferLimit(long bytes)
{
    if (bytes >= 0)
        state_->send_buffer_limit = bytes;
}

void JTCPServer::SetConnectionsPerUser(int n)
{
    if (n >= 0)
        state_->connections_per_user = n;
}

void JTCPServer::SetConnectionEvents(JConnectionEvents* observer)
{
    state_->events = observer;
}

int JTCPServer::SetReadingThreads(int n)
{
    if (n < 1 || n > kMaxReadingThreads)
        return 0;
    state_->reading_threads = n;
    return 1;
}

void* JTCPServer::new_connection_thread_start(void* server)
{
    JTCPServer& self = *static_cast<JTCPServer*>(server);
    return server_state::run_worker(self, [&] { self.new_connection_thread_routine(); });
}

void* JTCPServer::listen_thread_start(void* server)
{
    JTCPServer& self = *static_cast<JTCPServer*>(server);
    return server_state::run_worker(self, [&] { self.listen_thread_routine(); });
}

void* JTCPServer::server_state::further_reader_start(void* reader)
{
    reader_state& mine = *static_cast<reader_state*>(reader);
    JTCPServer& self = *mine.server;
    return run_worker(self, [&] { self.state_->read_loop(mine); });
}

template <typename Loop>
void* JTCPServer::server_state::run_worker(JTCPServer& server, Loop loop)
{
    loop();
    server.live_workers_.fetch_sub(1);  // the last touch: the server may be released from here on
    return nullptr;
}

// ---- The accepting thread -------------------------------------------------

void JTCPServer::new_connection_thread_routine()
{
    state_->accept_loop();
    tcp_close_listening_socket();
}

void JTCPServer::server_state::accept_loop()
{
    int candidate = -1;
    int held = -1;  // accepted while every slot was in use (per-user limit only); waits for a slot
    PeerIdentity held_peer;
    while (!server.new_connection_thread.stop) {
        if (candidate < 0)
            candidate = first_free_slot();
        if (candidate >= 0 && held != -1) {
            if (place(candidate, held, held_peer))
                candidate = first_free_slot();
            held = -1;
            continue;
        }
        // With a per-user limit the backlog keeps draining while every slot is
        // in use: over-limit connections are turned away, one other is held.
        const bool draining = candidate < 0 && held == -1 && connections_per_user.load() > 0 &&
                              server.connection_count > 0;
        if (candidate < 0 && !draining) {
            wait_for_free_slot();  // the connection waits in the backlog meanwhile
            continue;
        }
        if (!server.tcp_WaitForActivity(kPassMs)) {
            if (!listener_usable())
                Sleep(kPassMs);  // nothing to wait on returns at once: pace instead of spinning
            continue;
        }
        int client = -1;
        unsigned long peer_address = 0;
        if (!server.tcp_check_for_connection(&peer_address, &client, 0)) {
            // Descriptors exhausted (or the client gave up): the socket stays
            // readable, so wait for a descriptor to come back instead of spinning.
            wait_for_free_slot();
            continue;
        }
        const bool identify = connections_per_user.load() > 0 || events.load() != nullptr;
        const PeerIdentity peer = identify ? peer_of(server, client) : PeerIdentity{};
        if (over_user_limit(peer, held == -1 ? nullptr : &held_peer)) {
            close(client);  // turned away before it takes anything
            continue;
        }
        if (candidate < 0) {
            held = client;
            held_peer = peer;
            continue;
        }
        if (place(candidate, client, peer))
            candidate = first_free_slot();
    }
    close_if_open(held);
}

// True when the per-user limit turns `peer` away: its user already holds the
// limit in slots (and in the connection held for a slot).
bool JTCPServer::server_state::over_user_limit(const PeerIdentity& peer, const PeerIdentity* held) const
{
    const int limit = connections_per_user.load();
    if (limit == 0 || !peer.known)
        return false;
    int holding = held && held->known && held->uid == peer.uid ? 1 : 0;
    for (int i = 0; i < server.connection_count && holding < limit; ++i)
        if (server.connections[i]->fd != -1 && conns[i].peer().known && conns[i].peer().uid == peer.uid)
            ++holding;
    return holding >= limit;
}

// Hands `client` to the least busy reading thread in the free `slot`, unless
// the events refuse it. True when the slot was taken.
bool JTCPServer::server_state::place(int slot, int client, const PeerIdentity& peer)
{
    if (JConnectionEvents* observer = events.load()) {
        if (!observer->OnAccept(info_of(slot, client, peer))) {
            close(client);
            return false;
        }
    }
    const int reader = least_busy_reader();
    conns[slot].open(client, peer, reader, monotonic_ms());
    ++readers[reader].connections;
    server.connections[slot]->fd.store(client, std::memory_order_release);
    signal_event(readers[reader].wake_fd);
    return true;
}

int JTCPServer::server_state::least_busy_reader() const
{
    int best = 0;
    for (int r = 1; r < reader_count; ++r)
        if (readers[r].thread->running && readers[r].connections.load() < readers[best].connections.load())
            best = r;
    return best;
}

int JTCPServer::server_state::first_free_slot() const
{
    for (int i = 0; i < server.connection_count; ++i)
        if (server.connections[i]->fd == -1)
            return i;
    return -1;
}

bool JTCPServer::server_state::listener_usable()
{
    return server.type == TCP_SERVER && server.check_read(0, -1, 1) >= 0;
}

// Waits (at most one pass) until a reading thread frees a slot.
void JTCPServer::server_state::wait_for_free_slot()
{
    pollfd freed{slot_freed_fd, POLLIN, 0};  // -1 is skipped: a plain pause of one pass
    const int n = poll(&freed, 1, kPassMs);
    if (n > 0)
        drain_event(slot_freed_fd);
    else if (n < 0 && errno != EINTR)
        Sleep(kPassMs);
}

// ---- The reading threads --------------------------------------------------

void JTCPServer::listen_thread_routine()
{
    if (state_->reader_count > 0)
        state_->read_loop(state_->readers[0]);
}

void JTCPServer::server_state::read_loop(reader_state& reader)
{
    TCPMessage message;
    char buffer[kMessageReceiveSize];  // the one receive buffer of this thread's run
    current_reader = &reader;
    while (!reader.thread->stop) {
        if (check(&reader, kPassMs, 0) != 0) {
            for (int k = 0; k < reader.set.ready_count(); ++k) {  // ascending: slot order
                const int slot = reader.set.ready_slot(k);
                if (server.connections[slot]->ready)
                    serve_slot(reader, slot, message, buffer);
            }
        }
        for (int k = 0; k < reader.set.writable_count(); ++k)
            flush_slot(reader, reader.set.writable_slot(k));
        sweep(reader);
    }
    current_reader = nullptr;
}

unsigned char JTCPServer::check_fds_read(int timeout, int retry)
{
    const int ready = state_->check(current_reader, timeout, retry);
    return static_cast<unsigned char>(std::min(ready, 255));  // never 0 while slots are ready
}

// One readiness check for `reader` (null: every slot, through the first
// reading thread's set). Result: the ready slots.
int JTCPServer::server_state::check(reader_state* reader, int timeout, int retry)
{
    if (reader_count == 0) {
        Sleep(timeout < 0 ? kPassMs : timeout);  // nothing to wait on, as a failed wait
        return 0;
    }
    reader_state& mine = reader ? *reader : readers[0];
    const unsigned changes = send_timeout_changes.load();
    const bool retime = changes != mine.send_timeout_applied;
    mine.send_timeout_applied = changes;
    mine.set.watch(server.connections, conns.get(), server.connection_count, reader ? reader->index : -1,
                   send_timeout_ms.load(), retime);
    return mine.set.wait(server.connections, timeout, retry);
}

// One read (at most 2048 bytes, through `buffer`) on a ready slot: delivers
// the bytes to the application, or ends the connection.
void JTCPServer::server_state::serve_slot(reader_state& reader, int slot, TCPMessage& message, char* buffer)
{
    // One read of what epoll has just reported, as ReceiveMessage(&message, 0)
    // would do, but without its two further readiness polls and without ever
    // blocking the loop.
    const int client = server.connections[slot]->fd;
    Connection& conn = conns[slot];
    message.socket = client;
    const int got = receive_once(client, buffer, kMessageReceiveSize, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;  // nothing to read after all: the connection stays
    if (got <= 0) {
        if (got == 0)
            end_connection(reader, slot, CLOSED_BY_PEER);  // orderly: queued replies go first
        else
            free_slot(reader, slot, CLOSED_BY_PEER);
        return;
    }
    conn.heard_at_ms = monotonic_ms();
    ++conn.messages_in;
    message.SetMessage(buffer, got);
    if (JStdApp* handler = server.app.load()) {
        current_slot = slot;
        handler->OnMessage(&message);
        current_slot = -1;
    }
}

void JTCPServer::server_state::flush_slot(reader_state& reader, int slot)
{
    Connection& conn = conns[slot];
    if (reader.set.watched(slot) == -1 || server.connections[slot]->fd != reader.set.watched(slot))
        return;  // freed in this pass
    const FlushResult flushed = conn.flush();
    if (flushed == FlushResult::kLost)
        free_slot(reader, slot, CLOSED_BY_PEER);
    else if (flushed == FlushResult::kDrained && conn.draining)
        free_slot(reader, slot, conn.end_reason);
}

// An orderly end: the connection stops being read, and closes once its
// queued replies are written out (within the send bound).
void JTCPServer::server_state::end_connection(reader_state& reader, int slot, conn_close_reason reason)
{
    Connection& conn = conns[slot];
    if (!conn.has_output()) {
        free_slot(reader, slot, reason);
        return;
    }
    conn.draining = true;
    conn.draining_since_ms = monotonic_ms();
    conn.end_reason = reason;
    reader.output_left = true;
}

// Once per pass: the idle limit, and the send limit and bound of the queues.
void JTCPServer::server_state::sweep(reader_state& reader)
{
    CONN** slots = server.connections;
    const int count = server.connection_count;
    reader.set.sweep_idle(slots, conns.get(), count, static_cast<uint32_t>(idle_timeout_ms.load()),
                          [&](int slot) {
                              if (!conns[slot].draining)
                                  end_connection(reader, slot, CLOSED_IDLE);
                          });
    const bool news = reader.output_news.exchange(false, std::memory_order_acq_rel);
    if (!news && !reader.output_left)
        return;  // no queue of this thread holds anything: nothing to look at
    reader.output_left = false;
    const uint32_t bound = static_cast<uint32_t>(send_timeout_ms.load());
    const uint32_t now = monotonic_ms();
    for (int i = 0; i < count; ++i) {
        Connection& conn = conns[i];
        if (reader.set.watched(i) == -1 || reader.set.watched(i) != slots[i]->fd)
            continue;
        if (conn.over_limit.load(std::memory_order_acquire))
            free_slot(reader, i, CLOSED_SEND_LIMIT);
        else if (conn.draining && (bound != 0 && now - conn.draining_since_ms >= bound))
            free_slot(reader, i, CLOSED_SEND_TIMEOUT);
        else if (conn.has_output() && bound != 0 && now - conn.output_since_ms() >= bound)
            free_slot(reader, i, CLOSED_SEND_TIMEOUT);
        else if (conn.draining && !conn.has_output())
            free_slot(reader, i, conn.end_reason);
        else
            reader.output_left = reader.output_left || conn.has_output() || conn.draining;
    }
}

// Closes the slot's connection and frees the slot for the accepting thread.
void JTCPServer::server_state::free_slot(reader_state& reader, int slot, conn_close_reason reason)
{
    CONN& entry = *server.connections[slot];
    int client = entry.fd;
    Connection& conn = conns[slot];
    reader.set.forget(slot);  // before the number can be reused
    const bool ours = conn.speaks_for(client);
    conn.close();             // senders get "lost" from here on
    if (JConnectionEvents* observer = events.load(); observer && ours)
        observer->OnClose(info_of(slot, client, conn.peer()), reason);
    server.tcp_drop_client(client);
    if (ours)
        --reader.connections;
    entry.fd.store(-1, std::memory_order_release);  // free only once closed: the accepting thread may fill it now
    signal_event(slot_freed_fd);
}

// ---- Sends through the server object --------------------------------------

int JTCPServer::server_state::find_slot(int fd) const
{
    CONN** slots = server.connections;
    const int count = server.connection_count;
    if (current_reader && current_slot >= 0 && current_slot < count && slots[current_slot]->fd == fd)
        return current_slot;  // the reply to the message being delivered: no search
    for (int i = 0; i < count; ++i)
        if (slots[i]->fd == fd)
            return i;
    return -1;
}

bool JTCPServer::server_state::send(int fd, const char* buf, unsigned long len, int* result)
{
    const int slot = fd < 0 || !conns ? -1 : find_slot(fd);
    if (slot < 0)
        return false;  // not one of the connections: a plain send
    Connection& conn = conns[slot];
    const size_t limit = static_cast<size_t>(send_buffer_limit.load(std::memory_order_relaxed));
    switch (conn.send(fd, buf, len, limit)) {
    case SendResult::kSent:
        *result = 1;
        break;
    case SendResult::kQueued:
        *result = 1;
        notify_reader(readers[conn.reader()]);
        break;
    case SendResult::kOverLimit:
        conn.over_limit.store(true, std::memory_order_release);
        notify_reader(readers[conn.reader()]);
        *result = 0;
        errno = ENOBUFS;
        break;
    case SendResult::kLost:
        *result = server.tcp_check_connection();
        break;
    case SendResult::kNotOurs:
        return false;  // a descriptor the application put into the slot itself
    }
    return true;
}
