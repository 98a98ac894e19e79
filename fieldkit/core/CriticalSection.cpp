// SPDX-License-Identifier: MIT
#include "CriticalSection.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/timeb.h>

#include <atomic>

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

int operate(int semid, short delta)
{
    sembuf op{};
    op.sem_num = 0;
    op.sem_op = delta;
    op.sem_flg = IPC_NOWAIT;
    return semop(semid, &op, 1) == 0 ? 1 : 0;
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

int CriticalSection::Lock(int timeout)
{
    if (semid == -1)
        return 0;
    const timeb start = wall_clock_now();
    if (operate(semid, -1))
        return 1;
    if (timeout <= 0)
        return 0;
    for (;;) {
        const long elapsed = elapsed_ms(start);
        if (operate(semid, -1))
            return 1;
        if (elapsed >= timeout)
            return 0;
    }
}

int CriticalSection::Unlock()
{
    if (semid == -1)
        return 0;
    return operate(semid, +1);
}

void CriticalSection::Delete()
{
    if (semid == -1)
        return;
    semctl(semid, 0, IPC_RMID);
    semid = -1;
}
