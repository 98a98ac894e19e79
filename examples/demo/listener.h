// SPDX-License-Identifier: MIT
// The daemon's own listening socket at PATH, made so that it never removes a
// file it did not create.
#pragma once

#include <sys/types.h>

#include <string>

namespace demo {

// A local stream socket the daemon binds and listens on itself. An existing
// PATH is replaced only when it is a stale socket (one that refuses
// connections); a file of another kind, or a socket something still answers
// on, is left alone and refused. The socket file gets `mode` exactly, whatever
// the umask. The descriptor goes to the server (release); the path stays
// this object's, and is removed on destruction only while it is still the
// socket bound here.
// Threads: one controlling thread.
class bound_listener {
public:
    bound_listener() = default;
    ~bound_listener();
    bound_listener(const bound_listener&) = delete;
    bound_listener& operator=(const bound_listener&) = delete;

    // Binds `path` with `mode` and listens with `backlog`. False with why()
    // telling the reason (strerror text included) when refused or failed.
    bool open(const char* path, mode_t mode, int backlog);
    // The listening descriptor, now the caller's to close.
    int release();
    const std::string& why() const { return why_; }

private:
    bool refuse(const std::string& reason);
    bool clear_stale_socket();

    std::string path_;
    std::string why_;
    int fd_ = -1;
    bool bound_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace demo
