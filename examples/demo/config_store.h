// SPDX-License-Identifier: MIT
// The demo daemon's settings: "key: value" lines in a JStringArray, guarded
// by a mutex among the daemon's threads and a CriticalSection of the owner
// form among processes, with every change announced as a datagram.
#pragma once

#include <fieldkit/fieldkit.h>

#include <atomic>
#include <mutex>

namespace demo {

// Settings with lookups and changes that answer in protocol words ("OK ...",
// "ERR ..."), made through a batch. Keys are case-sensitive and unique.
// Threads: batches may run on several threads at once. A batch takes the
// mutex, then the CriticalSection: the set orders processes, but its Lock
// polls, and a thread that waits on the mutex sleeps instead (and thread
// checkers see the ordering). Announcement sends go out in parallel, outside
// both.
class config_store {
public:
    // `announcer` (may be null: no announcements) gets "changed key: value"
    // after every change; it must outlive the store, and its sends should be
    // bounded (JSocket::SetSendTimeout): a note it cannot send is dropped and
    // counted. The lock's key comes from `lock_path`, a path the daemon's user
    // owns; its set is removed with the store.
    config_store(JSocket* announcer, const char* lock_path);

    bool usable() const;  // the lock's semaphore set exists
    int lock_error() const;  // errno of a failed lock creation, 0 otherwise
    int lock_set() const;  // the semaphore set's identifier, -1 without one
    int dropped() const;   // change announcements that could not be sent

    // One hold of the settings for any number of lookups and changes: the
    // requests of one received message cost one Lock, not one each. The notes
    // of its changes go out once it has let the settings go. Used on the
    // thread that made it.
    class batch {
    public:
        explicit batch(config_store& store);
        ~batch();
        batch(const batch&) = delete;
        batch& operator=(const batch&) = delete;

        JString get(const JString& key);                        // "OK value", "ERR unknown key" or "ERR busy"
        JString set(const JString& key, const JString& value);  // "OK" (adds the key when new) or "ERR busy"

    private:
        config_store& store_;
        std::unique_lock<std::mutex> threads_;
        bool locked_;        // the CriticalSection is held
        JStringArray notes_; // change notes to send once both locks are let go
    };

private:
    int line_of(const JString& key) const;  // index of the key's line, -1 when absent
    void announce(const JStringArray& notes);
    static JString prefix_of(const JString& key);

    JStringArray settings_;
    std::mutex threads_lock_;  // a batch takes it before lock_
    CriticalSection lock_;
    int lock_error_;
    JSocket* announcer_;
    std::atomic<int> dropped_{0};
};

}  // namespace demo
