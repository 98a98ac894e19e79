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

JString config_store::get(const JString& key)
{
    const std::lock_guard<std::mutex> hold(threads_lock_);
    if (!lock_.Lock(kLockWaitMs))
        return "ERR busy";
    const int line = line_of(key);
    const JString reply = line < 0 ? JString("ERR unknown key")
                                   : "OK " + settings_.ReadString(line).Mid(prefix_of(key).GetLength());
    lock_.Unlock();
    return reply;
}

JString config_store::set(const JString& key, const JString& value)
{
    const JString line = prefix_of(key) + value;
    if (!store_line(key, line))
        return "ERR busy";
    if (announcer_) {
        JString note = "changed " + line;
        if (announcer_->SendMessage(note.GetBuffer(), static_cast<unsigned long>(note.GetLength()), -1) != 1)
            dropped_.fetch_add(1);  // the change stands; only its note is lost
    }
    return "OK";
}

bool config_store::store_line(const JString& key, const JString& line)
{
    const std::lock_guard<std::mutex> hold(threads_lock_);
    if (!lock_.Lock(kLockWaitMs))
        return false;
    settings_.RemoveString(line_of(key));  // nothing for -1: a new key
    settings_.AddString(line);
    lock_.Unlock();
    return true;
}

}  // namespace demo
