// SPDX-License-Identifier: MIT
#include "Clock.h"

#include <cerrno>
#include <sys/select.h>

unsigned int GetTickCount()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<unsigned int>(now.tv_sec) * 1000u +
           static_cast<unsigned int>((now.tv_usec + 500) / 1000);
}

void tv_sub(timeval* out, timeval* in)
{
    out->tv_usec -= in->tv_usec;
    if (out->tv_usec < 0) {
        out->tv_sec -= 1;
        out->tv_usec += 1000000;
    }
    out->tv_sec -= in->tv_sec;
}

void Sleep(int ms)
{
    const timeval full{ms / 1000, (ms % 1000) * 1000};
    timeval start{};
    gettimeofday(&start, nullptr);
    for (;;) {
        timeval elapsed{};
        gettimeofday(&elapsed, nullptr);
        tv_sub(&elapsed, &start);
        const long elapsed_ms = elapsed.tv_sec * 1000 + (elapsed.tv_usec + 500) / 1000;
        if (elapsed_ms > ms)
            return;
        timeval remaining = full;
        tv_sub(&remaining, &elapsed);
        if (remaining.tv_sec < 0)  // a fraction of a millisecond past the end
            return;
        if (select(0, nullptr, nullptr, nullptr, &remaining) != -1 || errno != EINTR)
            return;
    }
}
