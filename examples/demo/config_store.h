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
// "ERR ..."). Keys are case-sensitive and unique.
// Threads: get and set may run on several threads at once. A thread takes the
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

    JString get(const JString& key);                          // "OK value" or "ERR unknown key"
    JString set(const JString& key, const JString& value);    // "OK"; adds the key when new

private:
    int line_of(const JString& key) const;  // index of the key's line, -1 when absent
    bool store_line(const JString& key, const JString& line);  // replaces or adds; false when busy
    static JString prefix_of(const JString& key);

    JStringArray settings_;
    std::mutex threads_lock_;  // taken before lock_
    CriticalSection lock_;
    int lock_error_;
    JSocket* announcer_;
    std::atomic<int> dropped_{0};
};

}  // namespace demo
