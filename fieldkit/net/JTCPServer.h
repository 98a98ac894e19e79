// SPDX-License-Identifier: MIT
#pragma once

#include <fieldkit/Export.h>
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
/// JTCPServer server("/run/echo.sock", 16);  // listening, 16 slots, both workers running
/// Echo echo(server);
/// server.SetApp(&echo);                     // messages from now on reach echo
/// server.SetIdleTimeout(60000);             // drop connections silent for a minute
/// @endcode
///
/// Sends on the server's connections are bounded: a reply that cannot be
/// handed to the system within the send time-out (1000 ms unless
/// SetSendTimeout changes it) ends that connection, so a client that stops
/// reading never stalls the others. Every descriptor the server opens (the
/// listening socket, accepted connections, its wake-up and readiness
/// descriptors) is close-on-exec: a program the application execs inherits
/// none of them.
///
/// Ownership: the server owns its slot table, the client descriptors in it,
/// its listening socket and the path it bound, its threads, and the wake-up
/// and readiness descriptors of its workers. The JStdApp is not owned.
///
/// Threads: StartServer, StartServerOnListener, StartThread, StopThread,
/// Cleanup and destruction belong to one controlling thread; SetApp,
/// SetSendTimeout and SetIdleTimeout may be called from any thread. No lock:
/// each slot change has one writer (the accepting thread fills free slots,
/// the reading thread frees used ones), and the shared flags are atomic.
/// Every wait of the workers is bounded to 100 ms; stopping raises their
/// flags, pauses 150 ms (only when a worker runs) and returns once both
/// workers have left their loops.
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
    /// Stops both workers (waiting for a running OnMessage, itself bounded by the
    /// send time-out), closes every client and the listening socket, removes the
    /// path the server bound.
    virtual ~JTCPServer();
    JTCPServer(const JTCPServer&) = delete;
    JTCPServer& operator=(const JTCPServer&) = delete;

    /// Stops any running workers, releases the old table, then opens `count` free
    /// slots and a listening socket at `name` with backlog `count`, and starts both
    /// workers. 1 serving; 0 when the socket cannot be opened (table released, no
    /// thread). A negative count is refused (0) and changes nothing; 0 listens
    /// but serves no connection.
    int StartServer(const char* name, int count);
    /// Serves on `fd`, an already listening local (AF_UNIX) stream socket made
    /// elsewhere (for instance handed over by the init system): stops running
    /// workers, releases the old table and socket, builds `count` free slots and
    /// starts both workers. Anything else (a file, a datagram or connected socket,
    /// -1, a negative count) is refused with 0 and changes nothing. Otherwise the
    /// server owns `fd` (marked close-on-exec) and closes it once; it never
    /// removes the path, which it did not bind. 1 serving; 0 also when the slots
    /// cannot be allocated (the old server is gone, `fd` stays the caller's).
    int StartServerOnListener(int fd, int count);
    /// Stops running workers first, then closes every client connection and
    /// releases the slots and the table.
    void Cleanup();
    int StartListeningThread();  ///< StartThread(); always 1
    /// StopThread(), then creates the accepting and the reading thread, detached.
    /// Result: the second pthread_create's (0 = started). The workers need the
    /// listening socket and table of StartServer; after a StopThread the
    /// listening socket is closed, so serving again takes StartServer.
    int StartThread();
    /// Raises both stop flags, pauses 150 ms when a worker was running, then
    /// waits until both workers have left their loops (a slow OnMessage delays
    /// this). The accepting thread closes the listening socket as it leaves.
    void StopThread();
    void SetApp(JStdApp* app);  ///< effective from the next received message

    /// Bounds every send on the server's connections to `ms` milliseconds
    /// (SO_SNDTIMEO; default 1000 ms); 0 makes sends unbounded again. A send cut
    /// short by the bound ends its connection: the client sees the end, the
    /// reading thread frees the slot, SendMessage's result is unchanged. Applies
    /// to new connections and, from the reading thread's next pass (started at
    /// once), to the connected ones. A negative value is ignored.
    void SetSendTimeout(int ms);
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
    void listen_thread_routine();  ///< read-and-dispatch loop until `stop`
    /// Waits up to `timeout` ms (negative: no limit) until a used slot is readable
    /// or the accepting thread signals a new connection; retry != 0 resumes after
    /// signals with the remaining time. Clears every `ready`, then sets those of
    /// the readable slots. Result: their number, capped at 255; 0 on time-out, a
    /// bare wake-up or a failed wait (which returns only once the time-out has
    /// passed, at most 100 ms for an unbounded one). Descriptors written into the
    /// slots since the last call are taken up (a slot still holding the same
    /// number counts as unchanged). Costs no system call per unchanged slot.
    /// Called by the reading thread (or on a stopped server).
    unsigned char check_fds_read(int timeout, int retry);

private:
    struct slot_watch;    // the reading thread's view of one slot
    struct server_state;  // descriptors, readiness set and limits of the workers

    // The object's size and layout are part of the ABI that applications were
    // built against: state added since the first release lives behind state_.
    int wake_fd_;           // eventfd: accepting thread -> reading thread; -1 if unavailable
    server_state* state_;   // owned; never null
    std::atomic<int> live_workers_;  // workers that have not yet left their loops

    // Allocates `count` free slots (no table for 0) and the readiness set;
    // false when memory or descriptors ran out, with whatever was made left for Cleanup.
    FIELDKIT_LOCAL bool allocate_table(int count);
    // Releases the old table and socket, then builds `count` slots around the
    // listening socket that `open_socket` opens; 1 serving, 0 failed.
    template <typename OpenSocket>
    FIELDKIT_LOCAL int start_serving(int count, OpenSocket open_socket);
    FIELDKIT_LOCAL int first_free_slot() const;  // lowest free slot index, -1 when all are used
    FIELDKIT_LOCAL bool listener_usable();       // the listening socket can be waited on
    // Waits (at most one pass) until the reading thread frees a slot.
    FIELDKIT_LOCAL void wait_for_free_slot();
    // Brings the readiness set in line with the slots' descriptors and clears
    // every ready flag. Slots whose descriptor cannot be watched are marked
    // ready (their read fails and frees them).
    FIELDKIT_LOCAL void watch_slots();
    FIELDKIT_LOCAL void watch_slot(int index, int send_timeout_ms);
    FIELDKIT_LOCAL void mark_ready(int index);
    // epoll_wait on the readiness set; a failure other than EINTR is paced out.
    FIELDKIT_LOCAL int wait_for_events(int timeout, int retry);
    // One read (at most 2048 bytes, through `buffer`) on a ready slot: delivers
    // the bytes to the application, or closes the connection and frees the slot.
    FIELDKIT_LOCAL void serve_slot(int index, TCPMessage& message, char* buffer);
    FIELDKIT_LOCAL void drop_idle_slots();
    FIELDKIT_LOCAL void free_slot(int index);
    FIELDKIT_LOCAL int start_worker(thread_C& worker, void* (*entry)(void*));
    FIELDKIT_LOCAL void stop_worker(thread_C& worker);
    FIELDKIT_LOCAL void wait_for_workers();
    // Thread body: runs `routine`, then reports the worker's end.
    FIELDKIT_LOCAL static void* run_worker(void* server, void (JTCPServer::*routine)());
};
