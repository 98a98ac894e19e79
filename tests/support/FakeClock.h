// SPDX-License-Identifier: MIT
// A wall clock the test sets: while a FakeClock lives, every gettimeofday of the
// process (the library's calls too; FakeClock.cpp defines gettimeofday for the
// programs that use it) reads the fake time, which stands still until Set or
// Advance moves it. One object at a time; Set and Advance may run on any thread.
#pragma once

#include <sys/time.h>

namespace fktest {

class FakeClock {
public:
    explicit FakeClock(timeval start = {1700000000, 0});
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void Set(timeval now);
    void Advance(long ms);  // negative: the clock is set back
};

}  // namespace fktest
