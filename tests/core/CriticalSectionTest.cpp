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
#include <sstream>
#include <set>
#include <type_traits>
#include <utility>

namespace {

using namespace std::chrono_literals;

static_assert(!std::is_copy_constructible_v<CriticalSection> && !std::is_copy_assignable_v<CriticalSection>);

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

// The errno that `call` (a system call's -1 or other result) leaves when user
// `uid` makes it in a child: 0 when it succeeded, 255 when the child could not
// become that user.
template <typename Call>
int ErrnoAs(uid_t uid, Call call)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(setuid(uid) != 0 ? 255 : call() == -1 ? errno : 0);
    pids.insert(child);
    int st = 0;
    return waitpid(child, &st, 0) == child && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

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

// Two forked processes and two threads, each with 200 rounds of Lock, read, pause, write, Unlock
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
            std::this_thread::sleep_for(20us);  // lets the others in
        }
        return true;
    };
    const pid_t first = Fork(count), second = Fork(count);
    // Two threads creating objects at once share the identifier counter.
    const auto worker = [&] { const CriticalSection own; EXPECT_GE(own.semid, 0); count(); };
    std::thread other(worker);
    worker();
    other.join();
    EXPECT_TRUE(Succeeded(first));
    EXPECT_TRUE(Succeeded(second));
    EXPECT_EQ(counter->load(), 4 * 200);
    munmap(mem, sizeof(std::atomic<int>));
}

// A lock taken by a forked child that ended without unlocking stays held.
struct HeldLockTest : CriticalSectionTest {
    CriticalSection cs;
    void SetUp() override { ASSERT_TRUE(Succeeded(Fork([&] { return cs.Lock(0) == 1; }))); }
    void TearDown() override { cs.Delete(); CriticalSectionTest::TearDown(); }
};

// Zero or less tries once. The bounds are wide for loaded machines, yet below twice the time-out.
TEST_F(HeldLockTest, LockGivesUpAfterItsTimeOut)
{
    const struct { int timeout, least, most; } cases[] = {{0, 0, 500}, {-1, 0, 500}, {-1000, 0, 500}, {500, 495, 950}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timeout);
        EXPECT_TRUE(fktest::TakesMs(c.least, c.most, [&] { EXPECT_EQ(cs.Lock(c.timeout), 0); }));
    }
}

TEST_F(HeldLockTest, LockSucceedsOnceAnotherPartyUnlocks)
{
    std::thread unlocker([&] { std::this_thread::sleep_for(100ms); cs.Unlock(); });
    EXPECT_TRUE(fktest::TakesMs(90, kPatientMs / 2, [&] { EXPECT_EQ(cs.Lock(kPatientMs), 1); }));
    unlocker.join();
}

TEST_F(HeldLockTest, EachExtraUnlockLetsOneMoreLockThrough)
{
    EXPECT_EQ(cs.Unlock(), 1);
    EXPECT_EQ(cs.Unlock(), 1);
    EXPECT_EQ(cs.Lock(0), 1);
    EXPECT_EQ(cs.Lock(0), 1);
    EXPECT_EQ(cs.Lock(0), 0);  // not re-entrant either
}

TEST_F(HeldLockTest, CreateSetsTheValueBackToOneOnTheSameSet)
{
    const int semid = cs.semid;
    EXPECT_EQ(cs.Create(), 1);
    EXPECT_EQ(cs.semid, semid);
    cs.Unlock();
    cs.Unlock();
    EXPECT_EQ(cs.Create(), 1);
    EXPECT_EQ(semctl(semid, 0, GETVAL), 1);
}

// A Lock polling in another process fails once the set is gone, at its time-out.
TEST_F(HeldLockTest, DeleteRemovesTheSetUnderAPollingLock)
{
    const int semid = cs.semid;
    const pid_t poller = Fork([&] { return cs.Lock(600) == 0; });
    std::this_thread::sleep_for(100ms);
    cs.Delete();
    EXPECT_TRUE(Succeeded(poller));
    EXPECT_EQ(cs.semid, -1);
    EXPECT_EQ(semctl(semid, 0, GETVAL), -1);
}

TEST_F(CriticalSectionTest, AfterDeleteUsesFailAtOnceAndCreateMakesANewSet)
{
    CriticalSection cs;
    cs.Delete();
    EXPECT_TRUE(fktest::TakesMs(0, 500, [&] { EXPECT_EQ(cs.Lock(kPatientMs), 0); }));
    EXPECT_EQ(cs.Unlock(), 0);
    cs.Delete();
    EXPECT_EQ(cs.semid, -1);
    EXPECT_EQ(cs.Create(), 1);
    EXPECT_GE(cs.semid, 0);
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

// The owner form on a file of a fresh directory. TearDown removes every set
// under its key, also when a test failed, and fails when one was left.
struct OwnedLockTest : ::testing::Test {
    fktest::TempDir dir;
    const std::string path = (std::ofstream(dir.path("owner")), dir.path("owner"));
    const key_t key = ftok(path.c_str(), 1);

    // Sets under the key now, from /proc/sysvipc/sem (key is its first column).
    int SetsUnderKey() const
    {
        std::ifstream table("/proc/sysvipc/sem");
        std::string line;
        int count = 0;
        while (std::getline(table, line)) {
            std::istringstream row(line);
            long long row_key = 0;
            count += (row >> row_key) && static_cast<key_t>(row_key) == key;
        }
        return count;
    }
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
    CriticalSection cs(path.c_str(), 0600);
    ASSERT_GE(cs.semid, 0);
    const uid_t other = nobody->pw_uid;
    const int semid = cs.semid;
    EXPECT_EQ(ErrnoAs(other, [semid] { sembuf take{0, -1, IPC_NOWAIT}; return semop(semid, &take, 1); }), EACCES);
    if (!fktest::UnderUserModeEmulator()) {  // qemu-ppc's refused SETVAL crashes the emulated child
        EXPECT_EQ(ErrnoAs(other, [semid] { return semctl(semid, 0, SETVAL, 0); }), EACCES);
    }
    EXPECT_EQ(ErrnoAs(other, [semid] { return semctl(semid, 0, IPC_RMID); }), EPERM);
    cs.Delete();
    const key_t squatted = key;
    ASSERT_EQ(ErrnoAs(other, [squatted] { return semget(squatted, 2, IPC_CREAT | 0666); }), 0);
    errno = 0;
    EXPECT_EQ(cs.CreateOwned(path.c_str(), 0600), 0);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(cs.semid, -1);
    EXPECT_EQ(SetsUnderKey(), 1) << "the other user's set is left alone";
    semctl(semget(key, 0, 0), 0, IPC_RMID);
}

// Fault caught: Lock without SEM_UNDO, so a holder that dies keeps the lock for good.
TEST_F(OwnedLockTest, TheKernelReleasesTheLockOfAHolderThatDies)
{
    CriticalSection cs(path.c_str(), 0600);
    ASSERT_TRUE(Succeeded(Fork([&] { return cs.Lock(0) == 1; })));
    EXPECT_EQ(cs.Lock(0), 1);
    EXPECT_EQ(cs.Lock(0), 0) << "still one holder at a time";
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

// Fault caught: a set leaked on every crash, or a crashed holder's lock kept by the next run.
TEST_F(OwnedLockTest, RunsKilledWhileHoldingItLeaveOneSetThatTheNextRunAdopts)
{
    int first = -1;
    for (int run = 0; run < 30; ++run) {
        SCOPED_TRACE(run);
        int ids[2];
        ASSERT_EQ(pipe(ids), 0);
        const pid_t child = fork();
        if (child == 0) {
            CriticalSection cs(path.c_str(), 0600);
            const int semid = cs.Lock(0) == 1 ? cs.semid : -1;
            (void)!write(ids[1], &semid, sizeof semid);
            kill(getpid(), SIGKILL);
        }
        int semid = -2, status = 0;
        EXPECT_EQ(read(ids[0], &semid, sizeof semid), static_cast<ssize_t>(sizeof semid));
        close(ids[0]);
        close(ids[1]);
        EXPECT_EQ(waitpid(child, &status, 0), child);
        EXPECT_GE(semid, 0) << "the run took the lock";
        first = run == 0 ? semid : first;
        EXPECT_EQ(semid, first) << "the same set, adopted";
    }
    EXPECT_EQ(SetsUnderKey(), 1);
    CriticalSection next(path.c_str(), 0600);
    EXPECT_EQ(next.semid, first);
    EXPECT_EQ(next.Lock(0), 1);
}

}  // namespace
