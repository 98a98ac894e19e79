// SPDX-License-Identifier: MIT
#include "support/FakeClock.h"

#include <atomic>
#include <ctime>
#include <mutex>

namespace {

std::atomic<bool> faking{false};
std::mutex fake_lock;  // guards fake_us: 32-bit targets have no lock-free 64-bit atomics
long long fake_us = 0;  // microseconds since the epoch

}  // namespace

// This exported definition comes first in symbol lookup, so the shared library's calls reach it too.
extern "C" __attribute__((visibility("default"))) int gettimeofday(timeval* tv, void*) noexcept
{
    if (faking) {
        const std::lock_guard<std::mutex> guard(fake_lock);
        *tv = timeval{static_cast<time_t>(fake_us / 1000000), static_cast<suseconds_t>(fake_us % 1000000)};
        return 0;
    }
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    *tv = timeval{ts.tv_sec, static_cast<suseconds_t>(ts.tv_nsec / 1000)};
    return 0;
}

namespace fktest {

FakeClock::FakeClock(timeval start)
{
    Set(start);
    faking = true;
}

FakeClock::~FakeClock() { faking = false; }

void FakeClock::Set(timeval now)
{
    const std::lock_guard<std::mutex> guard(fake_lock);
    fake_us = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_usec;
}

void FakeClock::Advance(long ms)
{
    const std::lock_guard<std::mutex> guard(fake_lock);
    fake_us += static_cast<long long>(ms) * 1000;
}

}  // namespace fktest
