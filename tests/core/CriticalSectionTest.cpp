// SPDX-License-Identifier: MIT
#include <fieldkit/core/CriticalSection.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pwd.h>

#include <cerrno>
#include <fstream>
#include <new>
#include <set>
#include <utility>

namespace {

using namespace std::chrono_literals;

constexpr int kPatientMs = 20000;  // a Lock that should never run out
constexpr int kIds = 256;          // project identifiers 0..255

int SetOf(int id, int flags = 0) { return semget(ftok("/tmp/", id), 1, flags); }
int Take(int id) { return SetOf(id, IPC_CREAT | IPC_EXCL | 0600); }  // a set of the test's own, or -1
bool KeyFree(int id) { const int set = Take(id); semctl(set, 0, IPC_RMID); return set >= 0; }
int LowestFreeKey() { int id = 0; while (id < kIds && !KeyFree(id)) ++id; return id; }

// The n whose key ftok("/tmp/", n) names the set of a new object; -1 when none does.
int NextProjectId()
{
    const CriticalSection fresh;
    for (int id = 0; fresh.semid >= 0 && id < kIds; ++id)
        if (SetOf(id) == fresh.semid)
            return id;
    return -1;
}

std::set<pid_t> pids{getpid()};  // this process and every child from Fork

// Runs the bool body() in a child that skips every destructor when it exits.
template <typename Body>
pid_t Fork(Body body)
{
    if (const pid_t pid = fork())
        return *pids.insert(pid).first;
    _exit(body() ? 0 : 1);
}

bool Succeeded(pid_t child) { int st = 1; return child > 0 && waitpid(child, &st, 0) == child && st == 0; }

// Fails for and removes each set under a library key last changed by this process or its children.
struct CriticalSectionTest : ::testing::Test {
    void TearDown() override
    {
        int left = 0;
        for (int id = 0; id < kIds; ++id)
            if (pids.count(semctl(SetOf(id), 0, GETPID)))
                left += semctl(SetOf(id), 0, IPC_RMID) == 0;
        EXPECT_EQ(left, 0) << "semaphore set(s) left behind";
    }
};

// A forked process and two threads, each with 200 rounds of Lock, read, pause, write, Unlock
// on a shared counter: overlapping holders lose counts, a failed Lock the rest.
TEST_F(CriticalSectionTest, ExcludesForkedProcessesAndThreads)
{
    CriticalSection cs;
    void* mem = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto* counter = new (mem) std::atomic<int>(0);
    const auto count = [&] {
        for (int round = 0; round < 200 && cs.Lock(kPatientMs); ++round) {
            const int seen = counter->load();
            std::this_thread::sleep_for(20us);
            counter->store(seen + 1);
            cs.Unlock();
        }
        return true;
    };
    const pid_t child = Fork(count);
    std::thread other(count);
    count();
    other.join();
    EXPECT_TRUE(Succeeded(child));
    EXPECT_EQ(counter->load(), 3 * 200);
    munmap(mem, sizeof(std::atomic<int>));
}

// Fault caught: a Lock after Delete polling for its whole time-out. (TearDown finds a set Delete left.)
TEST_F(CriticalSectionTest, LocksAfterDeleteFailAtOnce)
{
    CriticalSection cs;
    cs.Delete();
    EXPECT_EQ(cs.semid, -1);
    EXPECT_TRUE(fktest::TakesMs(0, 500, [&] { EXPECT_EQ(cs.Lock(kPatientMs), 0); }));
}

// New objects take the identifiers in turn, skip a key someone (the test) holds and wrap from 255
// to 0 (the lowest free key). Keys others hold a moment may spoil a walk; 255 held for good skips.
TEST_F(CriticalSectionTest, IdentifiersSkipTakenKeysAndWrapAfter255)
{
    for (int walk = 0; walk < 5; ++walk) {
        int previous = NextProjectId();
        const int held = previous >= 0 && previous < kIds - 2 ? Take(previous + 1) : -1;
        int id = NextProjectId();
        const bool skipped = held >= 0 && id >= previous + 2;
        semctl(held, 0, IPC_RMID);
        for (int i = 0; i < kIds && id > previous; ++i)
            previous = std::exchange(id, NextProjectId());
        if (skipped && previous == kIds - 1 && id == LowestFreeKey() && NextProjectId() > id)
            return;
    }
    if (!KeyFree(kIds - 1))
        GTEST_SKIP() << "the key of 255 is held by someone else";
    ADD_FAILURE() << "identifiers did not count up past the held key and wrap from 255 to 0";
}

// A lock taken by a forked child that ended without unlocking stays held.
struct HeldLockTest : CriticalSectionTest {
    CriticalSection cs;
    void SetUp() override { ASSERT_TRUE(Succeeded(Fork([&] { return cs.Lock(0) == 1; }))); }
    void TearDown() override { cs.Delete(); CriticalSectionTest::TearDown(); }
};

// Fault caught: a time-out cut short (or 0 taken as no time-out). The bounds are wide for loaded
// machines, yet below twice the time-out.
TEST_F(HeldLockTest, LockGivesUpAfterItsTimeOut)
{
    EXPECT_TRUE(fktest::TakesMs(0, 500, [&] { EXPECT_EQ(cs.Lock(0), 0); })) << "0 tries once";
    EXPECT_TRUE(fktest::TakesMs(495, 950, [&] { EXPECT_EQ(cs.Lock(500), 0); }));
}

// Fault caught: Unlock setting the value to 1 instead of adding one, or Create not setting it back.
TEST_F(HeldLockTest, EachUnlockAddsOneAndCreateSetsOne)
{
    EXPECT_EQ(cs.Unlock(), 1);
    EXPECT_EQ(cs.Unlock(), 1);
    EXPECT_EQ(semctl(cs.semid, 0, GETVAL), 2);
    EXPECT_EQ(cs.Create(), 1);
}

// Fault caught: Create keeping a set whose lock a waiting holder took as the value was set.
TEST_F(HeldLockTest, CreateLetsGoOfASetTakenMeanwhile)
{
    const int semid = cs.semid;
    std::thread waiter([semid] { sembuf take{0, -1, 0}; semop(semid, &take, 1); });
    for (int i = 0; i < 10000 && semctl(semid, 0, GETNCNT) == 0; ++i)  // until the waiter waits
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(cs.Create(), 0) << "the kernel hands the freed lock to the waiter at once";
    EXPECT_EQ(cs.semid, -1);
    semctl(semid, 0, IPC_RMID);
    waiter.join();
}

// The owner form on a file of a fresh directory. TearDown removes every set
// under its key, also when a test failed, and fails when one was left.
struct OwnedLockTest : ::testing::Test {
    fktest::TempDir dir;
    const std::string path = (std::ofstream(dir.path("owner")), dir.path("owner"));
    const key_t key = ftok(path.c_str(), 1);

    void TearDown() override
    {
        int left = 0;
        for (int set; (set = semget(key, 0, 0)) >= 0 && semctl(set, 0, IPC_RMID) == 0;)
            ++left;
        EXPECT_EQ(left, 0) << "semaphore set left behind";
    }
};

// Fault caught: a set others can operate on (0666), or one another user
// squatted on the key adopted (its creator keeps the owner's rights).
TEST_F(OwnedLockTest, OnlyTheOwnerOperatesItAndAnotherUsersSetIsRefused)
{
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "running as another user id needs root and a user nobody";
    // The errno of `call` made by the other user in a child; 0 on success, 255 when setuid failed.
    const auto errno_as_other = [other = nobody->pw_uid](auto call) {
        const pid_t child = fork();
        if (child == 0)
            _exit(setuid(other) != 0 ? 255 : call() == -1 ? errno : 0);
        int st = 0;
        return waitpid(child, &st, 0) == child && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    CriticalSection cs(path.c_str(), 0600);
    EXPECT_EQ(errno_as_other([s = cs.semid] { sembuf take{0, -1, IPC_NOWAIT}; return semop(s, &take, 1); }), EACCES);
    cs.Delete();
    ASSERT_EQ(errno_as_other([k = key] { return semget(k, 2, IPC_CREAT | 0666); }), 0) << "the other user squats";
    errno = 0;
    EXPECT_EQ(cs.CreateOwned(path.c_str(), 0600), 0);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(cs.semid, -1);
    EXPECT_EQ(semctl(semget(key, 0, 0), 0, IPC_RMID), 0) << "the other user's set is left alone";
}

// Fault caught: a second run adopting, resetting (and later removing) the set a live run uses.
TEST_F(OwnedLockTest, ASetInUseIsNotAdopted)
{
    CriticalSection running(path.c_str(), 0600);
    ASSERT_EQ(running.Lock(0), 1);
    const pid_t second = Fork([&] { CriticalSection again(path.c_str(), 0600); return again.semid == -1 && errno == EBUSY; });
    EXPECT_TRUE(Succeeded(second));
    EXPECT_EQ(running.Lock(0), 0) << "still held by this process";
}

// Fault caught: Lock without SEM_UNDO (the kernel keeps a dead holder's lock), a new set made on
// every crash, a crashed holder's lock kept by the next run, or an adopted set's old mode kept.
TEST_F(OwnedLockTest, ARunThatDiesHoldingItLeavesASetTheNextRunAdopts)
{
    int first = -1;
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        // The child ends holding the lock, its object never destroyed, as in a crash.
        EXPECT_TRUE(Succeeded(Fork([&] { return (new CriticalSection(path.c_str(), 0640))->Lock(0) == 1; })));
        first = run == 0 ? semget(key, 0, 0) : first;
        EXPECT_EQ(semget(key, 0, 0), first) << "the same set, adopted";
        EXPECT_EQ(semctl(first, 0, GETVAL), 1) << "released by the kernel";
    }
    CriticalSection next(path.c_str(), 0600);
    EXPECT_EQ(next.semid, first);
    EXPECT_EQ(next.Lock(0), 1);
    semid_ds ds{};
    const union { semid_ds* buf; } arg{&ds};  // a union, as semctl reads it: 32-bit PowerPC passes unions by reference
    ASSERT_EQ(semctl(first, 0, IPC_STAT, arg), 0);
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0600) << "the adopting run's mode, not the earlier 0640";
}

}  // namespace
