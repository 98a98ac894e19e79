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
/// The owner form (CriticalSection(path, mode), CreateOwned) is for a lock one
/// user keeps to itself: its key comes from a path the application owns, its
/// mode is the application's (e.g. 0600: no other user may operate on it), Lock
/// and Unlock use SEM_UNDO so the kernel releases the lock of a process that dies
/// holding it, and a set left behind by a crashed run of the same user under the
/// same key is adopted and reset instead of leaking. Such a set holds a second
/// semaphore that marks its form; Lock and Unlock read the set's size
/// (IPC_STAT) to choose SEM_UNDO, so the object's layout is unchanged. In this
/// form the process that took the lock releases it (the kernel's undo record
/// is per process).
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
    /// CreateOwned(path, mode); a failure leaves semid -1 and shows only there.
    CriticalSection(const char* path, int mode);

    /// Owner form: drops any set the object has (Delete), then takes the set of
    /// key ftok(path, 1): a new one with permissions `mode` & 0777, or the one a
    /// crashed run of this same user left under that key, which is adopted
    /// (permissions set to `mode`) and reset to free. One lock per path.
    /// 1 ready; 0 refused or failed with semid -1 and errno saying why: the path
    /// cannot be read (ftok), the set under the key was created by or belongs
    /// to another user (EACCES), is not an owner-form set (EEXIST), or is in
    /// use: the process that last operated on it still runs (EBUSY).
    /// Delete and destruction remove the set, as for every set.
    int CreateOwned(const char* path, int mode);
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
