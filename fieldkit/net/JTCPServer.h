// SPDX-License-Identifier: MIT
#pragma once

#include <fieldkit/Export.h>
#include <fieldkit/net/JConnectionEvents.h>
#include <fieldkit/net/JSocket.h>
#include <fieldkit/net/JStdApp.h>

#include <pthread.h>

#include <atomic>

/// One connection slot of a JTCPServer: free while `fd` is -1.
struct FIELDKIT_API CONN {
    /// The accepted connection, -1 when the slot is free. Written by the accepting
    /// thread while free, by the reading thread (and Cleanup) while in use.
    std::atomic<int> fd;
    std::atomic<bool> ready;  ///< set by check_fds_read when `fd` is readable

    void init();  ///< makes the slot free: `fd` -1, `ready` false
};

/// Control record of one worker thread of a JTCPServer.
struct FIELDKIT_API thread_C {
    std::atomic<bool> stop;     ///< raised to ask the worker to end; tested once per pass
    std::atomic<bool> running;  ///< true once pthread_create succeeded; cleared by StopThread
    pthread_t id;               ///< the worker's thread
    pthread_attr_t attr;        ///< attributes the worker is created with

    /// `stop` and `running` false, `id` 0, `attr` default-initialised.
    /// Result: pthread_attr_init's.
    int Initialize();
};

/// A stream server on a local socket path.
///
/// It is the listening JSocket itself, plus a fixed table of connection slots
/// and two detached worker threads: the accepting thread takes pending
/// connections into free slots; the reading thread waits on all connections
/// at once, reads each readable one (at most 2048 bytes) and hands the message
/// to the application's JStdApp::OnMessage, which answers with SendMessage on
/// the same message. A connection whose read yields nothing is closed and its
/// slot freed.
///
/// @code
/// class Echo : public JStdApp {
/// public:
///     explicit Echo(JTCPServer& server) : server_(server) {}
///     int OnMessage(TCPMessage* message) override { return server_.SendMessage(message); }
/// private:
///     JTCPServer& server_;
/// };
///
/// JTCPServer server("/run/echo.sock", 16);  // listening, 16 slots, its workers running
/// Echo echo(server);
/// server.SetApp(&echo);                     // messages from now on reach echo
/// server.SetIdleTimeout(60000);             // drop connections silent for a minute
/// @endcode
///
/// Sends never wait for a peer. Whatever a connection's socket does not take
/// at once waits in that connection's output queue, and the reading thread
/// writes it out when the socket becomes writable. The bytes of one
/// connection leave in the order they were sent, and one send's bytes are
/// never split by another thread's. A connection is closed and its slot
/// freed when its queue would pass the limit (SetSendBufferLimit, 64 KiB by
/// default) or when the queue has not drained within the send bound
/// (SetSendTimeout, 1000 ms by default). The memory a server spends on
/// unsent replies is therefore at most the slot count times the limit. When
/// a peer ends its connection, queued replies are written out first, within
/// the send bound. This holds for every send through the server object on one
/// of its connections; a send through another JSocket object on the same
/// descriptor bypasses the queue and may overtake queued bytes.
///
/// Every descriptor the server opens (the listening socket, accepted
/// connections, its wake-up and readiness descriptors) is close-on-exec: a
/// program the application execs inherits none of them.
///
/// Ownership: the server owns its slot table, the client descriptors in it,
/// its listening socket and the path it bound, its threads, its output queues,
/// and the wake-up and readiness descriptors of its workers. The JStdApp and
/// the JConnectionEvents are not owned.
///
/// Threads: StartServer, StartServerOnListener, StartThread, StopThread,
/// Cleanup, SetReadingThreads and destruction belong to one controlling
/// thread; SetApp, SetConnectionEvents and the other setters, and
/// SendMessage, may be called from any thread. Each slot change has one
/// writer (the accepting thread fills free slots, the reading thread that
/// serves a slot frees it); each output queue has its own lock, never held
/// across a blocking call. Every wait of the workers is bounded to 100 ms;
/// stopping raises their flags, pauses 150 ms (only when a worker runs) and
/// returns once every worker has left its loop.
///
/// Reading threads: one by default, so OnMessage is never called
/// concurrently. SetReadingThreads(n) shares the slots out among n reading
/// threads, each with its own readiness set, idle limit and output flushing.
/// A connection belongs to one reading thread for its whole life: its
/// messages reach OnMessage in order and never concurrently with each other,
/// but different connections may be served at the same time, so an
/// application that opts in must make OnMessage safe to call from several
/// threads at once. The accepting thread hands each new connection to the
/// reading thread with the fewest connections.
class FIELDKIT_API JTCPServer : public JSocket {
public:
    thread_C new_connection_thread;  ///< the accepting thread
    thread_C listen_thread;          ///< the reading thread
    CONN** connections;              ///< one owned slot per entry; null when there is no table
    int connection_count;            ///< entries in `connections`; 0 when there is no table
    std::atomic<JStdApp*> app;       ///< receives the messages; null discards them

    /// Idle: no socket, no table, no threads.
    JTCPServer();
    /// StartServer(name, count); its result shows in the `running` flags.
    JTCPServer(const char* name, int count);
    /// Stops every worker (waiting for a running OnMessage, itself bounded by the
    /// send time-out), closes every client and the listening socket, removes the
    /// path the server bound.
    virtual ~JTCPServer();
    JTCPServer(const JTCPServer&) = delete;
    JTCPServer& operator=(const JTCPServer&) = delete;

    /// Stops any running workers, releases the old table, then opens `count` free
    /// slots and a listening socket at `name` with backlog `count`, and starts the
    /// workers. 1 serving; 0 when the socket cannot be opened (table released, no
    /// thread). A negative count is refused (0) and changes nothing; 0 listens
    /// but serves no connection.
    int StartServer(const char* name, int count);
    /// Serves on `fd`, an already listening local (AF_UNIX) stream socket made
    /// elsewhere (for instance handed over by the init system): stops running
    /// workers, releases the old table and socket, builds `count` free slots and
    /// starts the workers. Anything else (a file, a datagram or connected socket,
    /// -1, a negative count) is refused with 0 and changes nothing. Otherwise the
    /// server owns `fd` (marked close-on-exec) and closes it once; it never
    /// removes the path, which it did not bind. 1 serving; 0 also when the slots
    /// cannot be allocated (the old server is gone, `fd` stays the caller's).
    int StartServerOnListener(int fd, int count);
    /// Stops running workers first, then closes every client connection and
    /// releases the slots and the table.
    void Cleanup();
    int StartListeningThread();  ///< StartThread(); always 1
    /// StopThread(), then creates the accepting thread and the reading threads
    /// (SetReadingThreads: one unless changed), detached. Result: the first
    /// reading thread's pthread_create (0 = started); a further reading thread
    /// that cannot be created gets no connection. The workers need the
    /// listening socket and table of StartServer; after a StopThread the
    /// listening socket is closed, so serving again takes StartServer.
    int StartThread();
    /// Raises every worker's stop flag, pauses 150 ms when a worker was running, then
    /// waits until every worker has left its loop (a slow OnMessage delays
    /// this). The accepting thread closes the listening socket as it leaves.
    void StopThread();
    void SetApp(JStdApp* app);  ///< effective from the next received message

    /// Bounds how long a connection's unsent replies may wait (default 1000 ms):
    /// a queue that has not drained `ms` milliseconds after it started to fill
    /// ends its connection (checked once per pass). 0 lets queues wait without
    /// limit. Also the bound of a plain send on the connection's descriptor
    /// (SO_SNDTIMEO), applied from the reading threads' next pass to the
    /// connected ones. A negative value is ignored.
    void SetSendTimeout(int ms);
    /// Most bytes one connection's output queue may hold (default 65536, 64 KiB);
    /// a send that would pass it is not queued, gets 0, and its connection is
    /// closed. 0 removes the limit; a negative value is ignored.
    void SetSendBufferLimit(long bytes);
    /// Most slots one peer user may hold on a local server (0, the default, no
    /// limit). A connection whose user already holds `n` is closed right after
    /// acceptance, before it takes a slot, and the accepting thread keeps
    /// draining the backlog meanwhile, also while every slot is in use, so other
    /// users still get in. A negative value is ignored. Effective for
    /// connections accepted from then on.
    void SetConnectionsPerUser(int n);
    /// Tells `events` of every accepted and closed connection from then on
    /// (null: nobody).
    void SetConnectionEvents(JConnectionEvents* events);
    /// Number of reading threads the next StartServer, StartServerOnListener or
    /// StartThread starts (default 1, at most 64); 1 keeps OnMessage from ever
    /// running concurrently. Call it on the controlling thread; a StartThread
    /// shares the connections already held out among the new number. Anything
    /// outside 1..64 is refused (0); 1 set.
    int SetReadingThreads(int n);
    /// Closes a connection that has sent nothing for `ms` milliseconds (counted
    /// from its acceptance and from each received message, on the monotonic
    /// clock) and frees its slot; checked once per pass of the reading thread,
    /// so a connection goes between `ms` and `ms` + 100 ms of silence (longer
    /// only while an OnMessage runs).
    /// 0 (the default) never closes one; a negative value is ignored.
    void SetIdleTimeout(int ms);

    static void* new_connection_thread_start(void* server);  ///< runs the accept loop; null
    static void* listen_thread_start(void* server);          ///< runs the read loop; null

    /// Accept loop until `stop`. With every slot in use it waits (at most one
    /// 100 ms pass) until the reading thread frees one, then accepts at once.
    void new_connection_thread_routine();
    /// Read-and-dispatch loop of the first reading thread until `stop`; it also
    /// writes out the output queues of its connections.
    void listen_thread_routine();
    /// Waits up to `timeout` ms (negative: no limit) until a used slot is readable
    /// or the accepting thread signals a new connection; retry != 0 resumes after
    /// signals with the remaining time. On a reading thread it covers that
    /// thread's slots, elsewhere every slot. Clears their `ready`, then sets those of
    /// the readable slots. Result: their number, capped at 255; 0 on time-out, a
    /// bare wake-up or a failed wait (which returns only once the time-out has
    /// passed, at most 100 ms for an unbounded one). Descriptors written into the
    /// slots since the last call are taken up (a slot still holding the same
    /// number counts as unchanged). Costs no system call per unchanged slot.
    /// Called by the reading thread (or on a stopped server).
    unsigned char check_fds_read(int timeout, int retry);

private:
    struct server_state;  // readers, connections and limits of the workers

    // The object's size and layout are part of the ABI that applications were
    // built against: state added since the first release lives behind state_.
    int wake_fd_;           // eventfd waking the first reading thread; -1 if unavailable
    server_state* state_;   // owned; never null
    std::atomic<int> live_workers_;  // workers that have not yet left their loops
};
