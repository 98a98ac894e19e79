// SPDX-License-Identifier: MIT
#include "CriticalSection.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/timeb.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

// The caller of semctl defines this union. It must travel as the union itself:
// a bare int in its place breaks on ABIs that pass unions by reference
// (32-bit PowerPC among them).
union semun {
    int val;
    semid_ds* buf;
    unsigned short* array;
};

constexpr int kAttempts = 255;
constexpr int kLastProjectId = 255;

// Project identifier for the next key, shared by every object of the library.
std::atomic<int> next_project_id{0};

// The compare-exchange keeps the wrap and the increment one step, so objects
// created on several threads at once take distinct identifiers.
int take_project_id()
{
    int seen = next_project_id.load(std::memory_order_relaxed);
    for (;;) {
        const int id = seen > kLastProjectId ? 0 : seen;
        if (next_project_id.compare_exchange_weak(seen, id + 1, std::memory_order_relaxed))
            return id;
    }
}

// A new set under the next free key, or -1 when every attempt failed.
int make_set()
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int id = semget(ftok("/tmp/", take_project_id()), 1, IPC_CREAT | IPC_EXCL | 0666);
        if (id >= 0)
            return id;
    }
    return -1;
}

// An owner-form set has this many semaphores: the lock and a marker of the form.
constexpr unsigned long kOwnedSetSize = 2;
constexpr int kOwnedProjectId = 1;

// The set's kernel record; false when it cannot be read.
bool stat_set(int semid, semid_ds* out)
{
    semun arg{};
    arg.buf = out;
    return semctl(semid, 0, IPC_STAT, arg) == 0;
}

bool is_owned_set(int semid)
{
    semid_ds ds{};
    return stat_set(semid, &ds) && ds.sem_nsems == kOwnedSetSize;
}

// Flags of every operation on the set: an owner-form set's operations are
// undone by the kernel when their process dies; the first form's value stays.
short operation_flags(int semid)
{
    return static_cast<short>(IPC_NOWAIT | (is_owned_set(semid) ? SEM_UNDO : 0));
}

int operate(int semid, short delta, short flags)
{
    sembuf op{};
    op.sem_num = 0;
    op.sem_op = delta;
    op.sem_flg = flags;
    return semop(semid, &op, 1) == 0 ? 1 : 0;
}

// True while the process that last operated on the set (or set its value)
// still exists: the set is in use, not left behind by a crash.
bool last_user_alive(int semid)
{
    const int pid = semctl(semid, 0, GETPID);
    return pid > 0 && pid != getpid() && (kill(pid, 0) == 0 || errno == EPERM);
}

// The set under `key` that a run of this same user left behind, with its
// permissions set to `mode`; -1 with errno when there is none to adopt. Both
// the owner and the creator must be this user: a creator keeps the owner's
// rights over a set it handed to someone else.
int adopt_owned_set(key_t key, int mode)
{
    const int semid = semget(key, 0, 0);
    semid_ds ds{};
    if (semid < 0 || !stat_set(semid, &ds))
        return -1;
    const uid_t me = geteuid();
    if (ds.sem_perm.uid != me || ds.sem_perm.cuid != me) {
        errno = EACCES;
        return -1;
    }
    if (ds.sem_nsems != kOwnedSetSize) {
        errno = EEXIST;
        return -1;
    }
    if (last_user_alive(semid)) {
        errno = EBUSY;
        return -1;
    }
    ds.sem_perm.mode = static_cast<unsigned short>(mode);
    semun arg{};
    arg.buf = &ds;
    return semctl(semid, 0, IPC_SET, arg) == 0 ? semid : -1;
}

int take_owned_set(const char* path, int mode)
{
    const key_t key = ftok(path, kOwnedProjectId);
    if (key == -1)
        return -1;
    const int semid = semget(key, static_cast<int>(kOwnedSetSize), IPC_CREAT | IPC_EXCL | mode);
    if (semid >= 0 || errno != EEXIST)
        return semid;
    return adopt_owned_set(key, mode);
}

// Wall-clock milliseconds from ftime, the clock Lock measures its time-out on.
// glibc marks ftime deprecated; it still gives exactly the seconds and
// milliseconds wanted here.
timeb wall_clock_now()
{
    timeb now{};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ftime(&now);
#pragma GCC diagnostic pop
    return now;
}

long elapsed_ms(const timeb& start)
{
    const timeb now = wall_clock_now();
    return static_cast<long>(now.time - start.time) * 1000 +
           (static_cast<long>(now.millitm) - static_cast<long>(start.millitm));
}

}  // namespace

CriticalSection::CriticalSection() : semid(-1)
{
    Create();
}

CriticalSection::~CriticalSection()
{
    Delete();
}

int CriticalSection::Create()
{
    if (semid == -1)
        semid = make_set();
    if (semid == -1)
        return -1;
    semun one{};
    one.val = 1;
    const int set = semctl(semid, 0, SETVAL, one);
    if (set < 0) {
        semid = -1;
        return set;
    }
    // 0 here means another holder of the set (a forked copy) took the lock in
    // between, -1 that someone removed the set: either way the object lets the
    // set go and leaves any removal to whoever still holds it.
    const int value = semctl(semid, 0, GETVAL);
    if (value <= 0)
        semid = -1;
    return value;
}

CriticalSection::CriticalSection(const char* path, int mode) : semid(-1)
{
    CreateOwned(path, mode);
}

int CriticalSection::CreateOwned(const char* path, int mode)
{
    Delete();
    if (!path)
        return 0;
    semid = take_owned_set(path, mode & 0777);
    // Setting the value clears every process's undo record of the lock, so a
    // crashed holder's pending release cannot later add a second token.
    return semid >= 0 && Create() == 1 ? 1 : 0;
}

int CriticalSection::Lock(int timeout)
{
    if (semid == -1)
        return 0;
    const timeb start = wall_clock_now();
    const short flags = operation_flags(semid);
    if (operate(semid, -1, flags))
        return 1;
    if (timeout <= 0)
        return 0;
    for (;;) {
        const long elapsed = elapsed_ms(start);
        if (operate(semid, -1, flags))
            return 1;
        if (elapsed >= timeout)
            return 0;
    }
}

int CriticalSection::Unlock()
{
    if (semid == -1)
        return 0;
    return operate(semid, +1, operation_flags(semid));
}

void CriticalSection::Delete()
{
    if (semid == -1)
        return;
    semctl(semid, 0, IPC_RMID);
    semid = -1;
}
