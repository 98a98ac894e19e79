// SPDX-License-Identifier: MIT
// The readiness set of a reading thread, through socket pairs: no threads, no sleeps.
#include <fieldkit/net/detail/Readiness.h>

#include "support/TestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

using fieldkit::detail::Connection;
using fieldkit::detail::FlushResult;
using fieldkit::detail::monotonic_ms;
using fieldkit::detail::ReadinessSet;
using fieldkit::detail::SendResult;

namespace {

constexpr int kLongMs = 10000;  // a wait that should end at once

// `n` free slots with their connection records and a readiness set over them;
// pairs[i] is what Put(i) places in slot i.
struct Table {
    explicit Table(int n) : count(n), slots(new CONN[n]), conns(new Connection[n]), table(n), pairs(n)
    {
        for (int i = 0; i < n; ++i)
            slots[i].init(), table[i] = &slots[i];
        EXPECT_TRUE(set.open(n, -1));
    }
    void Put(int i, int reader = 0) { Put(i, pairs[i].fds[0], reader); }
    void Put(int i, int fd, int reader)
    {
        conns[i].open(fd, {}, reader, monotonic_ms());
        slots[i].fd = fd;
    }
    void Poke(int i) { EXPECT_EQ(write(pairs[i].fds[1], "x", 1), 1); }
    // One pass of a reading thread (`reader` -1: every slot).
    int Check(int timeout, int reader = -1)
    {
        set.watch(table.data(), conns.get(), count, reader, 1000, false);
        return set.wait(table.data(), timeout, 0);
    }
    std::vector<int> Ready() const { return List(set.ready_count(), &ReadinessSet::ready_slot); }
    std::vector<int> Writable() const { return List(set.writable_count(), &ReadinessSet::writable_slot); }
    std::vector<int> List(int n, int (ReadinessSet::*at)(int) const) const
    {
        std::vector<int> slots;
        for (int k = 0; k < n; ++k)
            slots.push_back((set.*at)(k));
        return slots;
    }

    int count;
    std::unique_ptr<CONN[]> slots;
    std::unique_ptr<Connection[]> conns;
    std::vector<CONN*> table;
    std::vector<fktest::SocketPair> pairs;
    ReadinessSet set;
};

// Faults: a slot reported that has nothing to read, a stale `ready` flag kept, slots out of order, a
// draining connection still read, or a slot of another reading thread watched (and so read).
TEST(Readiness, MarksExactlyTheReadableSlotsOfItsReaderInSlotOrder)
{
    Table t(6);
    for (int i = 0; i < 6; ++i)
        t.Put(i, i == 5);  // slot 5 belongs to reading thread 1
    EXPECT_EQ(t.Check(0, 0), 0);  // registered before the bytes come: epoll reports them as they come
    t.slots[2].ready = true;     // left from an earlier pass
    t.conns[4].draining = true;  // reading has ended: only its queue is left
    for (int i : {5, 4, 3, 1})
        t.Poke(i);
    EXPECT_EQ(t.Check(kLongMs, 0), 2);
    EXPECT_EQ(t.Ready(), (std::vector<int>{1, 3}));
    EXPECT_EQ(t.set.watched(5), -1);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(t.slots[i].ready, i == 1 || i == 3);
    }
}

// Fault: a slot's old registration outlives the descriptor that replaced it.
TEST(Readiness, ASlotsNewDescriptorIsTakenUpAndTheOldOneDropped)
{
    Table t(1);
    fktest::SocketPair old;
    t.Put(0, old.fds[0], 0);
    EXPECT_EQ(t.Check(0), 0);
    t.Put(0);
    t.Poke(0);
    EXPECT_EQ(t.Check(kLongMs), 1);
    EXPECT_EQ(t.set.watched(0), t.pairs[0].fds[0]);
    EXPECT_EQ(epoll_ctl(t.set.epoll_fd(), EPOLL_CTL_DEL, old.fds[0], nullptr), -1);  // no longer registered
}

// Fault: a descriptor epoll refuses is skipped, so its slot is never read and never freed.
TEST(Readiness, ADescriptorEpollCannotWatchIsMarkedReady)
{
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);  // no poll support: EPERM
    for (bool closed : {true, false}) {
        SCOPED_TRACE(closed ? "closed descriptor" : "/dev/null");
        Table t(1);
        const int fd = closed ? dup(null) : null;
        if (closed)
            close(fd);
        t.Put(0, fd, 0);
        EXPECT_EQ(t.Check(kLongMs), 1);
        EXPECT_TRUE(t.slots[0].ready);
    }
    close(null);
}

// Fault: output interest taken for a slot with nothing queued (a busy loop) or not taken while bytes wait.
TEST(Readiness, WatchesForOutputOnlyWhileBytesAreQueued)
{
    Table t(3);
    for (int i = 0; i < 3; ++i)
        t.Put(i);
    for (int i : {2, 0}) {
        fktest::Fill(t.pairs[i].fds[0]);
        EXPECT_EQ(t.conns[i].send(t.pairs[i].fds[0], "x", 1, 0), SendResult::kQueued);
    }
    EXPECT_EQ(t.Check(0), 0);
    EXPECT_EQ(t.set.writable_count(), 0);  // full sockets are not writable
    for (int i : {2, 0})
        fktest::Drain(t.pairs[i].fds[1]);
    EXPECT_EQ(t.Check(kLongMs), 0);
    EXPECT_EQ(t.Writable(), (std::vector<int>{0, 2}));
    for (int i : {0, 2})
        EXPECT_EQ(t.conns[i].flush(), FlushResult::kDrained);
    EXPECT_EQ(t.Check(0), 0);
    EXPECT_EQ(t.set.writable_count(), 0);
}

// Fault: the idle limit is off by one at its boundary, takes a free slot, or acts when it is 0.
TEST(Readiness, TheIdleSweepTakesTheSlotsSilentForTheLimit)
{
    constexpr uint32_t kIdleMs = 60000;
    Table t(4);
    for (int i = 0; i < 3; ++i)
        t.Put(i);
    EXPECT_EQ(t.Check(0), 0);
    const uint32_t now = monotonic_ms();
    t.conns[0].heard_at_ms = now - kIdleMs;      // exactly the limit
    t.conns[1].heard_at_ms = now - kIdleMs / 2;  // half of it: stays for 30 s more
    t.conns[2].heard_at_ms = now - 2 * kIdleMs;
    t.conns[3].heard_at_ms = now - 2 * kIdleMs;  // but its slot is free
    std::vector<int> idle;
    const auto note = [&](int slot) { idle.push_back(slot); };
    t.set.sweep_idle(t.table.data(), t.conns.get(), 4, kIdleMs, note);
    EXPECT_EQ(idle, (std::vector<int>{0, 2}));
    idle.clear();
    t.set.sweep_idle(t.table.data(), t.conns.get(), 4, 0, note);
    EXPECT_TRUE(idle.empty());
}

}  // namespace
