// SPDX-License-Identifier: MIT
// CriticalSection: a lock shared by threads and processes. A child made with
// fork inherits the semaphore set, and both count in shared memory under it.
#include <fieldkit/fieldkit.h>

#include <cstdio>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kRounds = 2000;

// A deliberately slow read-modify-write: without the lock, increments get lost.
void CountUnderLock(CriticalSection& lock, volatile int* counter)
{
    for (int i = 0; i < kRounds; ++i) {
        while (!lock.Lock(1000)) {  // polls for up to 1 s per try
        }
        const int seen = *counter;
        *counter = seen + 1;
        lock.Unlock();
    }
}

}  // namespace

int main()
{
    // The constructor creates a new semaphore set, free; the destructor removes it.
    CriticalSection lock;
    void* shared = mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        return 1;
    volatile int* counter = static_cast<int*>(shared);
    *counter = 0;

    const pid_t child = fork();
    if (child == 0) {
        CountUnderLock(lock, counter);
        _exit(0);  // not exit(): the set belongs to the parent's object
    }
    CountUnderLock(lock, counter);
    waitpid(child, nullptr, 0);

    std::printf("counter %d of %d\n", *counter, 2 * kRounds);
    const bool right = *counter == 2 * kRounds;
    munmap(shared, sizeof(int));
    return right ? 0 : 1;
}
