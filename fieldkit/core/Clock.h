// SPDX-License-Identifier: MIT
/// @file
/// Millisecond time for the whole library: a wrapping wall-clock tick counter,
/// timeval subtraction and a sleep that survives signals.
/// Stateless and reentrant: any thread may call any of these at any time.
#pragma once

#include <fieldkit/Export.h>

#include <sys/time.h>

/// Wall-clock milliseconds as an unsigned 32-bit counter that wraps every ~49.7 days.
/// Microseconds round to the nearest millisecond, halves up. Only differences of two
/// readings mean anything; take them with unsigned 32-bit subtraction (correct across
/// one wrap).
FIELDKIT_API unsigned int GetTickCount();

/// out = out - in, with a single borrow from the seconds. Normalised when both
/// microsecond fields are in 0..999999; seconds go negative when `in` is later.
FIELDKIT_API void tv_sub(timeval* out, timeval* in);

/// Waits until `ms` milliseconds of wall-clock time have passed since the call,
/// resuming with only the remainder after a signal. 0 or negative returns at once.
FIELDKIT_API void Sleep(int ms);
