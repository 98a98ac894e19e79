// SPDX-License-Identifier: MIT
// JTCPServer: a stream server on a local socket path. It is the listening
// JSocket itself, plus a fixed table of connection slots and two detached
// worker threads: the accepting thread takes pending connections into free
// slots; the reading thread waits on all connections at once, reads each
// readable one (at most 2048 bytes) and hands the message to the application's
// JStdApp::OnMessage, which answers with SendMessage on the same message.
// A connection whose read yields nothing is closed and its slot freed.
//
// Ownership: the server owns its slot table, the client descriptors in it,
// its listening socket and path, its threads and a wake-up descriptor the
// accepting thread uses to rouse the reading thread. The JStdApp is not owned.
// Threads: StartServer, StartThread, StopThread, Cleanup and destruction belong
// to one controlling thread; SetApp may be called from any thread. No lock:
// each slot change has one writer (the accepting thread fills free slots, the
// reading thread frees used ones), and the shared flags are atomic.
// Every wait of the workers is bounded to 100 ms; stopping raises their flags,
// pauses 150 ms and returns only once both workers have left their loops.
#pragma once

#include <fieldkit/Export.h>
#include <fieldkit/net/JSocket.h>
#include <fieldkit/net/JStdApp.h>

#include <pthread.h>

#include <atomic>

struct pollfd;

// One connection slot: free while fd is -1.
struct FIELDKIT_API CONN {
    std::atomic<int> fd;      // accepted connection; written by the accepting thread while free,
                              // by the reading thread (and Cleanup) while in use
    std::atomic<bool> ready;  // set by check_fds_read when fd is readable

    void init();  // free: fd -1, ready false
};

// Control record of one worker thread.
struct FIELDKIT_API thread_C {
    std::atomic<bool> stop;     // raised to ask the worker to end; tested once per pass
    std::atomic<bool> running;  // true once pthread_create succeeded; cleared by StopThread
    pthread_t id;
    pthread_attr_t attr;

    // stop and running false, id 0, attr default-initialised; pthread_attr_init's result.
    int Initialize();
};

class FIELDKIT_API JTCPServer : public JSocket {
public:
    thread_C new_connection_thread;  // the accepting thread
    thread_C listen_thread;          // the reading thread
    CONN** connections;              // one owned slot per entry; null when there is no table
    int connection_count;            // entries in connections; 0 when there is no table
    std::atomic<JStdApp*> app;       // receives the messages; null discards them

    // Idle: no socket, no table, no threads.
    JTCPServer();
    // StartServer(name, count); its result shows in the running flags.
    JTCPServer(const char* name, int count);
    // Stops both workers (waiting for a running OnMessage), closes every client
    // and the listening socket, removes the path.
    virtual ~JTCPServer();
    JTCPServer(const JTCPServer&) = delete;
    JTCPServer& operator=(const JTCPServer&) = delete;

    // Stops any running workers, releases the old table, then opens `count` free
    // slots and a listening socket at `name` with backlog `count`, and starts both
    // workers. 1 serving; 0 when the socket cannot be opened (table released, no
    // thread). A negative count is refused (0) and changes nothing; 0 listens
    // but serves no connection. Pays the 150 ms stop pause (twice on a restart).
    int StartServer(const char* name, int count);
    // Serves on `fd`, an already listening local (AF_UNIX) stream socket made
    // elsewhere (for instance handed over by the init system): stops running
    // workers, releases the old table and socket, builds `count` free slots and
    // starts both workers. Anything else (a file, a datagram or connected socket,
    // -1, a negative count) is refused with 0 and changes nothing. Otherwise the
    // server owns `fd` (marked close-on-exec) and closes it once; it never
    // removes the path, which it did not bind. 1 serving; 0 also when the slots
    // cannot be allocated (the old server is gone, `fd` stays the caller's).
    int StartServerOnListener(int fd, int count);
    // Stops running workers first, then closes every client connection and
    // releases the slots and the table.
    void Cleanup();
    int StartListeningThread();  // StartThread(); always 1
    // StopThread(), then creates the accepting and the reading thread, detached.
    // Result: the second pthread_create's (0 = started). The workers need the
    // listening socket and table of StartServer; after a StopThread the
    // listening socket is closed, so serving again takes StartServer.
    int StartThread();
    // Raises both stop flags, pauses 150 ms, then waits until both workers have
    // left their loops (a slow OnMessage delays this). The accepting thread
    // closes the listening socket as it leaves.
    void StopThread();
    void SetApp(JStdApp* app);  // effective from the next received message

    static void* new_connection_thread_start(void* server);  // runs the accept loop; null
    static void* listen_thread_start(void* server);          // runs the read loop; null

    void new_connection_thread_routine();  // accept loop until stop
    void listen_thread_routine();          // read-and-dispatch loop until stop
    // Waits up to `timeout` ms (negative: no limit) until a used slot is readable
    // or the accepting thread signals a new connection; retry != 0 resumes after
    // signals with the remaining time. Clears every ready flag, then sets those
    // of the readable slots. Result: their number, capped at 255; 0 on time-out,
    // error or a bare wake-up. Called by the reading thread (or on a stopped server).
    unsigned char check_fds_read(int timeout, int retry);

private:
    int wake_fd;                     // eventfd: accepting thread -> reading thread; -1 if unavailable
    pollfd* poll_set;                // connection_count + 1 entries for check_fds_read; null when idle
    std::atomic<int> live_workers;   // workers that have not yet left their loops

    // Allocates the poll set and `count` free slots (no table for 0); false
    // when memory ran out, with whatever was made left for Cleanup.
    FIELDKIT_LOCAL bool allocate_table(int count);
    // Releases the old table and socket, then builds `count` slots around the
    // listening socket that `open_socket` opens; 1 serving, 0 failed.
    template <typename OpenSocket>
    FIELDKIT_LOCAL int start_serving(int count, OpenSocket open_socket);
    FIELDKIT_LOCAL int first_free_slot() const;     // lowest free slot index, -1 when all are used
    FIELDKIT_LOCAL bool listener_usable();          // the listening socket can be waited on
    // One read (at most 2048 bytes, through `buffer`) on a ready slot: delivers
    // the bytes to the application, or drops and frees the slot.
    FIELDKIT_LOCAL void serve_slot(CONN& slot, TCPMessage& message, char* buffer);
    FIELDKIT_LOCAL void wake_reader();
    FIELDKIT_LOCAL void drain_wake();
    FIELDKIT_LOCAL int start_worker(thread_C& worker, void* (*entry)(void*));
    FIELDKIT_LOCAL void stop_worker(thread_C& worker);
    FIELDKIT_LOCAL void wait_for_workers();
    // Thread body: runs `routine`, then reports the worker's end.
    FIELDKIT_LOCAL static void* run_worker(void* server, void (JTCPServer::*routine)());
};
