// SPDX-License-Identifier: MIT
// The demo daemon's protocol on a JTCPServer: newline-framed requests
// "GET key" and "SET key value", one reply line each ("OK ..." or "ERR ...").
#pragma once

#include "config_store.h"

#include <fieldkit/fieldkit.h>

#include <sys/types.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace demo {

constexpr int kMaxLineBytes = 1024;  // a longer request line (its CR LF not counted) ends its connection

// The application object of the server. Bytes are framed per connection: a
// partial line waits for its rest, several lines in one read get one reply
// each, in order. A line over kMaxLineBytes gets "ERR line too long" and the
// connection is shut down. Only a peer running under the daemon's own user id
// may SET.
// Threads: OnMessage may run on several reading threads at once (the
// connection table and the store are guarded); answered() may be read from
// any thread.
class config_daemon : public JStdApp {
public:
    config_daemon(JTCPServer& server, config_store& store);

    int OnMessage(TCPMessage* message) override;

    int answered() const;  // requests answered so far

private:
    // What is known of one connection.
    struct connection {
        ino_t socket_id = 0;    // the socket's inode: names the connection behind a reused descriptor
        bool may_set = false;   // the peer's user id is the daemon's own
        bool closing = false;   // refused; its bytes are dropped until the server sees the close
        std::string partial;    // bytes of the line not yet complete
    };
    using connection_ptr = std::shared_ptr<connection>;

    // The record of the connection on `fd`, a fresh one when the connection is
    // new. The descriptor number alone does not name a connection: once the
    // server drops one, the next accepted connection may get the same number.
    // Its socket's inode does, so a changed inode means a new connection.
    connection_ptr connection_of(int fd);
    bool peer_is_owner(int fd);
    // Frames `len` bytes of `c` into lines and appends one reply line per
    // complete line to `replies`. False when the connection must end.
    bool take_bytes(connection& c, const char* data, size_t len, std::string& replies);
    JString answer(std::string line, bool may_set);
    void reply_and_close(TCPMessage* message, connection& c, const std::string& replies, bool keep);

    JTCPServer& server_;
    config_store& store_;
    std::mutex connections_lock_;                    // guards the table, not the records
    std::map<int, connection_ptr> connections_;      // by descriptor
    std::atomic<int> answered_{0};
};

}  // namespace demo
