// SPDX-License-Identifier: MIT
// The server's state of one connection: its output queue, who is on the other
// end, and its counters. Internal: not installed.
//
// Ownership: a Connection belongs to one slot of a server and lives as long as
// the slot table; it holds the slot's descriptor number between open() and
// close() but never closes it (the server does, after close()).
//
// Threads: open() is the accepting thread's, before the slot's descriptor is
// published; send() may run on any thread; flush(), close() and the reading
// fields are the owning reading thread's. One mutex guards the queue and the
// descriptor number. It is never held across a blocking call: every write
// is MSG_DONTWAIT.
#pragma once

#include <fieldkit/net/JConnectionEvents.h>

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace fieldkit::detail {

// What a send did with the caller's bytes.
enum class SendResult {
    kSent,       // the socket took every byte
    kQueued,     // what it did not take waits in the queue
    kOverLimit,  // the queue would pass its limit: nothing queued, the connection must end
    kLost,       // the connection is gone (errno tells why)
    kNotOurs,    // the record does not speak for that descriptor (any more)
};

// What a flush achieved.
enum class FlushResult { kDrained, kPending, kLost };

// Who is on the other end of a local connection (SO_PEERCRED).
struct PeerIdentity {
    bool known = false;
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Milliseconds of the monotonic clock, wrapping at 2^32; differences are taken
// unsigned, so any bound below 24 days compares right across the wrap.
uint32_t monotonic_ms();

class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Starts the record for a newly accepted descriptor.
    void open(int fd, const PeerIdentity& peer, int reader, uint32_t now_ms);
    // Ends it: forgets the descriptor and drops queued bytes. Senders that
    // still name the old number get kLost from here on.
    void close();

    // Sends `len` bytes on `fd`, which must still be this connection's: at
    // once when nothing is queued (one system call when the socket takes them
    // all), else behind the queued bytes. Bytes of one call are never split
    // by another call's. `limit` bounds the queued bytes; 0 means no bound.
    SendResult send(int fd, const char* buf, size_t len, size_t limit);
    // Writes queued bytes until the socket takes no more.
    FlushResult flush();

    bool has_output() const { return has_output_.load(std::memory_order_acquire); }
    // When the queue last went from empty to holding bytes.
    uint32_t output_since_ms() const { return output_since_ms_.load(std::memory_order_acquire); }
    size_t queued_bytes();

    // Reading-thread fields.
    int reader() const { return reader_.load(std::memory_order_acquire); }
    void move_to(int reader) { reader_.store(reader, std::memory_order_release); }  // while no reader runs
    const PeerIdentity& peer() const { return peer_; }
    uint32_t heard_at_ms = 0;          // acceptance or the last message
    uint32_t draining_since_ms = 0;    // when reading ended with bytes still queued
    unsigned long messages_in = 0;     // messages delivered to the application
    bool draining = false;             // reading has ended; only the queue is left to write
    conn_close_reason end_reason = CLOSED_BY_PEER;  // why it is draining

    // Raised by a sender whose bytes the limit refused; the reading thread ends the connection.
    std::atomic<bool> over_limit{false};
    // True while the record speaks for `fd` (between open() and close()).
    bool speaks_for(int fd);

private:
    // Appends to the queue; false when the limit or memory refuses it.
    bool enqueue(const char* buf, size_t len, size_t limit);
    void drop_queue();

    std::mutex lock_;
    int fd_ = -1;           // guarded: the descriptor this record speaks for
    char* queue_ = nullptr; // guarded: bytes [head_, size_) wait to be written
    size_t head_ = 0;
    size_t size_ = 0;
    size_t capacity_ = 0;
    std::atomic<bool> has_output_{false};
    std::atomic<uint32_t> output_since_ms_{0};
    std::atomic<int> reader_{0};
    PeerIdentity peer_;     // written by open() before the descriptor is published
};

}  // namespace fieldkit::detail
