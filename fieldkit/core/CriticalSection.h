// SPDX-License-Identifier: MIT
/// @file
/// CriticalSection, a lock across threads and processes.
#pragma once

#include <fieldkit/Export.h>

/// A mutual-exclusion lock that works across threads and processes, built on a
/// System V semaphore set of one semaphore (value 1 free, 0 held). Everyone using
/// the same set identifier is excluded: the same object shared by threads, or its
/// copy inherited across fork.
///
/// Ownership: each object creates its own set (key ftok("/tmp/", n), n cycling
/// through 0..255 for the whole library) and removes it on Delete or
/// destruction. A set outlives a process that ends without destroying its
/// object. Copies are refused: two objects would remove one set twice.
///
/// Threads: Lock and Unlock may run on several threads at once on one object;
/// Create and Delete must not overlap any other use of the object. Creating
/// objects on several threads at once is safe. Lock never blocks in the kernel:
/// it polls without pausing.
class FIELDKIT_API CriticalSection {
public:
    int semid;  ///< The object's semaphore set; -1 when it has none.

    /// Create(); a failure leaves semid -1 and shows only there.
    CriticalSection();
    /// Delete().
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;             ///< Not copyable.
    CriticalSection& operator=(const CriticalSection&) = delete;  ///< Not assignable.

    /// Makes a new set when the object has none (up to 255 keys tried, taken
    /// keys skipped), then sets the value to 1: on an existing set this frees a
    /// held lock. Result: the value read back (1) when ready; 0 or negative on
    /// failure, with semid -1.
    int Create();
    /// Takes the lock, trying again without pause for up to `timeout` ms of
    /// wall-clock time; 0 or negative makes a single try. 1 taken, 0 not (time-out,
    /// no set, set removed meanwhile). Not re-entrant.
    int Lock(int timeout);
    /// Adds 1 to the semaphore, held or not: each extra Unlock lets one more
    /// Lock through. 1 done, 0 failed or no set.
    int Unlock();
    /// Removes the set (polling Locks elsewhere then fail) and forgets it; no set: nothing.
    void Delete();
};
