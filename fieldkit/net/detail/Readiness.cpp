// SPDX-License-Identifier: MIT
#include "Readiness.h"

#include <fieldkit/core/Clock.h>
#include <fieldkit/net/detail/SocketDetail.h>

#include <sys/eventfd.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>

namespace fieldkit::detail {

namespace {

constexpr uint32_t kWakeTag = UINT32_MAX;  // event tag of the wake-up descriptor; slots are tagged by index
constexpr int kFailurePaceMs = 100;

uint32_t wanted_events(const Connection& conn)
{
    return (conn.draining ? 0u : static_cast<uint32_t>(EPOLLIN)) | (conn.has_output() ? EPOLLOUT : 0u);
}

}  // namespace

bool ReadinessSet::open(int slots, int wake_fd)
{
    close();
    const size_t entries = static_cast<size_t>(slots) + 1;  // the slots and the wake-up descriptor
    if (entries > SIZE_MAX / sizeof(epoll_event))
        return false;  // more than the address space holds (32-bit targets)
    slots_ = slots;
    events_.reset(new (std::nothrow) epoll_event[entries]);
    watches_.reset(new (std::nothrow) Watch[entries]);
    ready_.reset(new (std::nothrow) int[entries]);
    writable_.reset(new (std::nothrow) int[entries]);
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (!events_ || !watches_ || !ready_ || !writable_ || epoll_fd_ == -1)
        return false;
    wake_fd_ = wake_fd;
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u32 = kWakeTag;
    if (wake_fd != -1)
        epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd, &wake);
    return true;
}

void ReadinessSet::close()
{
    if (epoll_fd_ != -1)
        ::close(epoll_fd_);
    epoll_fd_ = -1;
    wake_fd_ = -1;
    slots_ = 0;
    ready_count_ = writable_count_ = 0;
}

void ReadinessSet::watch(CONN* const* slots, Connection* conns, int count, int reader, int send_timeout_ms,
                         bool retime)
{
    ready_count_ = writable_count_ = 0;
    // One cheap pass over the table: no system call for a slot that did not
    // change. Changed descriptors are all forgotten before any is added: a
    // number closed in one slot may come back in another.
    bool added = false;
    for (int i = 0; i < count; ++i) {
        CONN& slot = *slots[i];
        const int current = slot.fd.load(std::memory_order_acquire);
        Watch& watch = watches_[i];
        if (reader >= 0 && current != -1 && conns[i].reader() != reader) {
            if (watch.fd != -1)
                forget(i);  // handed to another reading thread
            continue;
        }
        if (slot.ready.load(std::memory_order_relaxed))  // this thread's own flag
            slot.ready.store(false, std::memory_order_relaxed);
        if (watch.fd == current && current != -1) {
            const uint32_t events = wanted_events(conns[i]);
            if (events != watch.events) {
                epoll_event change{};
                change.events = events;
                change.data.u32 = static_cast<uint32_t>(i);
                epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, current, &change);
                watch.events = events;
            }
            if (retime)
                set_send_timeout(current, send_timeout_ms);
            continue;
        }
        if (watch.fd != -1 && watch.fd != current)
            forget(i);
        added = added || current != -1;
    }
    for (int i = 0; added && i < count; ++i)
        if (watches_[i].fd == -1 && slots[i]->fd != -1 && (reader < 0 || conns[i].reader() == reader))
            add(*slots[i], i, wanted_events(conns[i]), send_timeout_ms);
}

void ReadinessSet::add(CONN& slot, int index, uint32_t events, int send_timeout_ms)
{
    const int client = slot.fd;
    epoll_event event{};
    event.events = events;  // level-triggered: unread bytes keep the slot ready
    event.data.u32 = static_cast<uint32_t>(index);
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, client, &event) != 0) {
        if (errno == EBADF || errno == EPERM)
            mark_ready(slot, index);  // not a socket that is open: the read fails and frees the slot
        return;                       // otherwise tried again next pass
    }
    set_send_timeout(client, send_timeout_ms);
    watches_[index] = Watch{client, events};
}

void ReadinessSet::forget(int slot)
{
    Watch& watch = watches_[slot];
    if (watch.fd != -1)
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, watch.fd, nullptr);
    watch = Watch{};
}

void ReadinessSet::mark_ready(CONN& slot, int index)
{
    if (slot.ready.exchange(true))
        return;
    ready_[ready_count_++] = index;
}

int ReadinessSet::wait(CONN* const* slots, int timeout, int retry)
{
    if (ready_count_ > 0)
        timeout = 0;  // unwatchable slots are ready now, as poll reports a bad descriptor at once
    int n = wait_retrying(timeout, retry, [&](int ms) { return epoll_wait(epoll_fd_, events_.get(), slots_ + 1, ms); });
    if (n < 0) {
        if (errno != EINTR)
            Sleep(timeout < 0 ? kFailurePaceMs : timeout);  // a failing wait returns at once: pace it
        n = 0;
    }
    for (int e = 0; e < n; ++e) {
        const uint32_t tag = events_[e].data.u32;
        const uint32_t got = events_[e].events;
        if (tag == kWakeTag) {
            uint64_t count = 0;
            const ssize_t drained = read(wake_fd_, &count, sizeof count);  // resets the counter
            (void)drained;
            continue;
        }
        const Watch& watch = watches_[tag];
        if (slots[tag]->fd != watch.fd)
            continue;  // changed since it was registered: taken up next pass
        if ((watch.events & EPOLLOUT) && (got & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
            writable_[writable_count_++] = static_cast<int>(tag);
        if ((watch.events & EPOLLIN) && (got & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)))
            mark_ready(*slots[tag], static_cast<int>(tag));  // data, hang-up or error: the read tells
    }
    std::sort(ready_.get(), ready_.get() + ready_count_);
    std::sort(writable_.get(), writable_.get() + writable_count_);
    return ready_count_;
}

}  // namespace fieldkit::detail
