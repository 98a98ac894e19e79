// SPDX-License-Identifier: MIT
// The demo daemon's settings: "key: value" lines in a JStringArray, guarded
// by a CriticalSection, with every change announced as a datagram.
#pragma once

#include <fieldkit/fieldkit.h>

namespace demo {

// Settings with lookups and changes that answer in protocol words ("OK ...",
// "ERR ..."). Keys are case-sensitive and unique.
class config_store {
public:
    // `announcer` (may be null: no announcements) gets "changed key: value"
    // after every change; it must outlive the store.
    explicit config_store(JSocket* announcer);

    bool usable() const;  // the lock's semaphore set exists
    int lock_set() const;  // the semaphore set's identifier, -1 without one

    JString get(const JString& key);                          // "OK value" or "ERR unknown key"
    JString set(const JString& key, const JString& value);    // "OK"; adds the key when new

private:
    int line_of(const JString& key) const;  // index of the key's line, -1 when absent
    static JString prefix_of(const JString& key);

    JStringArray settings_;
    CriticalSection lock_;
    JSocket* announcer_;
};

}  // namespace demo
