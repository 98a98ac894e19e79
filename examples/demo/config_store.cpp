// SPDX-License-Identifier: MIT
#include "config_store.h"

namespace demo {

namespace {

constexpr int kLockWaitMs = 1000;

}  // namespace

config_store::config_store(JSocket* announcer) : announcer_(announcer)
{
    settings_.AddString("name: fieldkit-box");
    settings_.AddString("port: 8080");
    settings_.AddString("mode: auto");
}

bool config_store::usable() const
{
    return lock_.semid != -1;
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
    if (!lock_.Lock(kLockWaitMs))
        return "ERR busy";
    settings_.RemoveString(line_of(key));  // nothing for -1: a new key
    const JString line = prefix_of(key) + value;
    settings_.AddString(line);
    lock_.Unlock();
    if (announcer_) {
        JString note = "changed " + line;
        announcer_->SendMessage(note.GetBuffer(), static_cast<unsigned long>(note.GetLength()), -1);
    }
    return "OK";
}

}  // namespace demo
