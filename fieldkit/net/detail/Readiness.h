// SPDX-License-Identifier: MIT
// The readiness set of one reading thread: which slot descriptors it watches
// in its epoll instance and for what, which of them the last wait found
// ready, and which have been silent too long. Internal: not installed.
//
// Ownership: owns its epoll descriptor and lists; it never closes a slot's
// descriptor (forget() only deregisters it, before the server closes it).
//
// Threads: one reading thread at a time (or the controlling thread while no
// reading thread runs).
#pragma once

#include <fieldkit/net/JTCPServer.h>
#include <fieldkit/net/detail/Connection.h>

#include <sys/epoll.h>

#include <cstdint>
#include <memory>

namespace fieldkit::detail {

class ReadinessSet {
public:
    ReadinessSet() = default;
    ~ReadinessSet() { close(); }
    ReadinessSet(const ReadinessSet&) = delete;
    ReadinessSet& operator=(const ReadinessSet&) = delete;

    // Sizes the lists for `slots` slots and opens the epoll instance; `wake_fd`
    // (-1: none) is watched as well and drained whenever it fires. False when
    // memory or descriptors ran out.
    bool open(int slots, int wake_fd);
    void close();  // closes the epoll instance first: no registration outlives it

    // Brings the registrations in line with the slots that `reader` serves
    // (every slot for -1):
    // a new descriptor is added, a changed one dropped, and each is watched
    // for input unless its connection is draining and for output while it has
    // queued bytes. Clears their `ready` flags. A slot whose descriptor epoll
    // refuses (closed, not pollable) is marked ready: its read fails and frees
    // it. New registrations get the send bound `send_timeout_ms` (SO_SNDTIMEO),
    // and so do all of them when `retime` is set.
    void watch(CONN* const* slots, Connection* conns, int count, int reader, int send_timeout_ms, bool retime);
    // One epoll_wait of at most `timeout` ms (negative: no limit; retry != 0
    // resumes after signals with the time that remains). Fills the ready and
    // writable lists in slot order; a failure other than EINTR is paced out
    // for the time-out (100 ms when unbounded). Result: ready slots (readable,
    // hung up or failed).
    int wait(CONN* const* slots, int timeout, int retry);

    int ready_count() const { return ready_count_; }
    int ready_slot(int k) const { return ready_[k]; }
    int writable_count() const { return writable_count_; }
    int writable_slot(int k) const { return writable_[k]; }
    int watched(int slot) const { return watches_[slot].fd; }
    int epoll_fd() const { return epoll_fd_; }

    // Deregisters the slot's descriptor: before the server closes it, since
    // the number may come back for another connection.
    void forget(int slot);

    // Calls on_idle(slot) for every watched slot of this set whose connection
    // has been silent for `idle_ms` or more (0: never).
    template <typename OnIdle>
    void sweep_idle(CONN* const* slots, Connection* conns, int count, uint32_t idle_ms, OnIdle on_idle)
    {
        if (idle_ms == 0)
            return;
        const uint32_t now = monotonic_ms();
        for (int i = 0; i < count; ++i)
            if (watches_[i].fd != -1 && watches_[i].fd == slots[i]->fd && now - conns[i].heard_at_ms >= idle_ms)
                on_idle(i);
    }

private:
    struct Watch {
        int fd = -1;          // registered descriptor; -1 none
        uint32_t events = 0;  // what it is registered for
    };

    void add(CONN& slot, int index, uint32_t events, int send_timeout_ms);
    void mark_ready(CONN& slot, int index);

    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    int slots_ = 0;
    std::unique_ptr<Watch[]> watches_;
    std::unique_ptr<epoll_event[]> events_;  // slots_ + 1 entries
    std::unique_ptr<int[]> ready_;
    std::unique_ptr<int[]> writable_;
    int ready_count_ = 0;
    int writable_count_ = 0;
};

}  // namespace fieldkit::detail
