// SPDX-License-Identifier: MIT
#include "config_store.h"

#include <cerrno>

namespace demo {

namespace {

constexpr int kLockWaitMs = 1000;
constexpr int kLockMode = 0600;  // only the daemon's own user may touch the lock

}  // namespace

config_store::config_store(JSocket* announcer, const char* lock_path)
    : lock_(lock_path, kLockMode), lock_error_(lock_.semid == -1 ? errno : 0), announcer_(announcer)
{
    settings_.AddString("name: fieldkit-box");
    settings_.AddString("port: 8080");
    settings_.AddString("mode: auto");
}

bool config_store::usable() const
{
    return lock_.semid != -1;
}

int config_store::lock_error() const
{
    return lock_error_;
}

int config_store::dropped() const
{
    return dropped_.load();
}

int config_store::lock_set() const
{
    return lock_.semid;
}

JString config_store::prefix_of(const JString& key)
{
    return key + ": ";
}

int config_store::line_of(const JString& key) const
{
    const JString prefix = prefix_of(key);
    for (int i = 0; i < settings_.GetCount(); ++i) {
        if (settings_.ReadString(i).Find(prefix) == 0)
            return i;
    }
    return -1;
}

void config_store::announce(const JStringArray& notes)
{
    for (int i = 0; announcer_ && i < notes.GetCount(); ++i) {
        JString note = notes.ReadString(i);
        if (announcer_->SendMessage(note.GetBuffer(), static_cast<unsigned long>(note.GetLength()), -1) != 1)
            dropped_.fetch_add(1);  // the change stands; only its note is lost
    }
}

config_store::batch::batch(config_store& store)
    : store_(store), threads_(store.threads_lock_), locked_(store.lock_.Lock(kLockWaitMs) == 1)
{
}

config_store::batch::~batch()
{
    if (locked_)
        store_.lock_.Unlock();
    threads_.unlock();
    store_.announce(notes_);
}

JString config_store::batch::get(const JString& key)
{
    if (!locked_)
        return "ERR busy";
    const int line = store_.line_of(key);
    return line < 0 ? JString("ERR unknown key")
                    : "OK " + store_.settings_.ReadString(line).Mid(prefix_of(key).GetLength());
}

JString config_store::batch::set(const JString& key, const JString& value)
{
    if (!locked_)
        return "ERR busy";
    store_.settings_.RemoveString(store_.line_of(key));  // nothing for -1: a new key
    const JString line = prefix_of(key) + value;
    store_.settings_.AddString(line);
    notes_.AddString("changed " + line);
    return "OK";
}

}  // namespace demo
