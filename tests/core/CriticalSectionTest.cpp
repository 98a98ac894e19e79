#include <fieldkit/core/CriticalSection.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <type_traits>
#include <vector>

namespace {

using namespace std::chrono_literals;

static_assert(!std::is_copy_constructible_v<CriticalSection>, "two copies would remove one set");
static_assert(!std::is_copy_assignable_v<CriticalSection>, "two copies would remove one set");

constexpr int kPatientMs = 20000;  // a Lock that should never run out
constexpr int kIds = 256;          // project identifiers 0..255

int Value(int semid) { return semctl(semid, 0, GETVAL); }

// Makes a set of the test's own under the key of `id`; -1 when that key is taken.
int Take(int id) { return semget(ftok("/tmp/", id), 1, IPC_CREAT | IPC_EXCL | 0600); }

// The n whose key ftok("/tmp/", n) names the set; -1 when none does.
int ProjectIdOf(int semid)
{
    for (int id = 0; semid >= 0 && id < kIds; ++id)
        if (semget(ftok("/tmp/", id), 1, 0) == semid)
            return id;
    return -1;
}

// Rounds of Lock, an increment made of a read and a later write, Unlock: any
// overlap of two holders loses a count, a failed Lock all the rest.
bool CountUnderLock(CriticalSection& cs, std::atomic<int>& counter)
{
    for (int i = 0; i < 200; ++i) {
        if (!cs.Lock(kPatientMs))
            return false;
        const int seen = counter.load();
        std::this_thread::sleep_for(20us);
        counter.store(seen + 1);
        cs.Unlock();
        std::this_thread::sleep_for(20us);  // lets the others in
    }
    return true;
}

// Waits for a child from Fork; true when its body returned true.
bool Succeeded(pid_t pid)
{
    int st = 0;
    return pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

// After each test, fails for (and removes) every set under a library key that
// this process or one of its children changed last; other programs' stay.
class CriticalSectionTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        int left = 0;
        for (int id = 0; id < kIds; ++id) {
            const int semid = semget(ftok("/tmp/", id), 1, 0);
            if (semid >= 0 && std::count(pids_.begin(), pids_.end(), semctl(semid, 0, GETPID)))
                left += semctl(semid, 0, IPC_RMID) == 0;
        }
        EXPECT_EQ(left, 0) << "semaphore set(s) left behind";
    }

    // Runs the bool body() in a child that skips every destructor when it exits.
    template <typename Body>
    pid_t Fork(Body body)
    {
        const pid_t pid = fork();
        if (pid == 0)
            _exit(body() ? 0 : 1);
        pids_.push_back(pid);
        return pid;
    }

private:
    std::vector<pid_t> pids_{getpid()};
};

// Two forked processes and two threads (the main one and another) share a counter.
TEST_F(CriticalSectionTest, ExcludesForkedProcessesAndThreads)
{
    CriticalSection cs;
    void* mem = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                     MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto* counter = new (mem) std::atomic<int>(0);
    const pid_t first = Fork([&] { return CountUnderLock(cs, *counter); });
    const pid_t second = Fork([&] { return CountUnderLock(cs, *counter); });
    auto worker = [&] {
        const CriticalSection own;  // two threads creating at once share the identifier counter
        EXPECT_TRUE(own.semid >= 0 && CountUnderLock(cs, *counter));
    };
    std::thread other(worker);
    worker();
    other.join();
    EXPECT_EQ(Succeeded(first) + Succeeded(second), 2);
    EXPECT_EQ(counter->load(), 4 * 200);
    EXPECT_EQ(Value(cs.semid), 1);
    munmap(mem, sizeof(std::atomic<int>));
}

TEST_F(CriticalSectionTest, LockOnAHeldLockTriesOnceOrUntilAnUnlockOrItsTimeout)
{
    CriticalSection cs;
    ASSERT_EQ(cs.Lock(0), 1);  // not re-entrant: the holder's own Lock fails too
    fktest::Stopwatch watch;
    EXPECT_EQ(cs.Lock(0) + cs.Lock(-1), 0);
    EXPECT_LT(watch.ms(), 1000);

    watch.restart();
    EXPECT_EQ(cs.Lock(200), 0);
    EXPECT_GE(watch.ms(), 190);
    EXPECT_LT(watch.ms(), 5000);

    std::thread holder([&] { std::this_thread::sleep_for(100ms); cs.Unlock(); });
    watch.restart();
    EXPECT_EQ(cs.Lock(kPatientMs), 1);
    EXPECT_LT(watch.ms(), kPatientMs / 2);
    holder.join();
}

// Each extra Unlock lets one more Lock through. A lock left held by an ended process (no
// undo on exit) stays held until Create sets the value back to 1 in place. After Delete
// every use fails: at once here, at its time-out in a process that was polling.
TEST_F(CriticalSectionTest, UnlockCreateAndDeleteWorkOnTheSet)
{
    CriticalSection cs;
    const int semid = cs.semid;
    ASSERT_TRUE(Succeeded(Fork([&] { return cs.Lock(0) == 1; })));
    EXPECT_EQ(cs.Unlock() + cs.Unlock(), 2);
    EXPECT_EQ(cs.Lock(0) + cs.Lock(0) + cs.Lock(0), 2);  // still held before the two
    EXPECT_EQ(cs.Create(), 1);
    EXPECT_EQ(cs.semid, semid);
    EXPECT_EQ(cs.Unlock() + cs.Unlock(), 2);
    EXPECT_EQ(cs.Create(), 1);
    EXPECT_EQ(Value(semid), 1);

    ASSERT_EQ(cs.Lock(0), 1);
    const pid_t poller = Fork([&] { return cs.Lock(600) == 0; });
    std::this_thread::sleep_for(100ms);
    cs.Delete();
    EXPECT_TRUE(Succeeded(poller));
    EXPECT_EQ(Value(semid), -1);

    const fktest::Stopwatch watch;
    EXPECT_EQ(cs.Lock(kPatientMs) + cs.Unlock(), 0);
    EXPECT_LT(watch.ms(), 1000);
    cs.Delete();
    EXPECT_EQ(cs.Create(), 1);  // a new set
}

// Successive objects take the identifiers in turn, skip a key someone holds
// (here the test) and wrap from 255 to 0. Keys others hold for a moment may
// spoil a walk, so it is tried again; keys 0 or 255 held for good skip the test.
TEST_F(CriticalSectionTest, IdentifiersSkipTakenKeysAndWrapAfter255)
{
    for (int walk = 0; walk < 5; ++walk) {
        int previous = ProjectIdOf(CriticalSection().semid);
        const int held = previous >= 0 && previous < kIds - 2 ? Take(previous + 1) : -1;
        int id = ProjectIdOf(CriticalSection().semid);
        const bool skipped = held >= 0 && id >= previous + 2;
        semctl(held, 0, IPC_RMID);
        for (int i = 0; i < kIds && id > previous; ++i) {
            previous = id;
            id = ProjectIdOf(CriticalSection().semid);
        }
        if (skipped && previous == kIds - 1 && id == 0 &&
            ProjectIdOf(CriticalSection().semid) > 0)
            return;
    }
    const int first = Take(0);
    const int last = Take(kIds - 1);
    semctl(first, 0, IPC_RMID);
    semctl(last, 0, IPC_RMID);
    if (first < 0 || last < 0)
        GTEST_SKIP() << "the key of 0 or 255 is held by someone else";
    ADD_FAILURE() << "identifiers did not count up past the held key and wrap from 255 to 0";
}

}  // namespace
