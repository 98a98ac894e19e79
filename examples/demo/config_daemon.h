// SPDX-License-Identifier: MIT
// The demo daemon's protocol on a JTCPServer: newline-framed requests
// "GET key" and "SET key value", one reply line each ("OK ..." or "ERR ...").
#pragma once

#include "config_store.h"

#include <fieldkit/fieldkit.h>

#include <sys/types.h>

#include <atomic>
#include <map>
#include <string>

namespace demo {

constexpr int kMaxLineBytes = 1024;  // a longer request line ends its connection

// The application object of the server. Bytes are framed per connection: a
// partial line waits for its rest, several lines in one read get one reply
// each, in order. A line over kMaxLineBytes gets "ERR line too long" and the
// connection is shut down. Only a peer running under the daemon's own user id
// may SET.
// Threads: OnMessage runs on the server's reading thread only; answered() may
// be read from any thread.
class config_daemon : public JStdApp {
public:
    config_daemon(JTCPServer& server, config_store& store);

    int OnMessage(TCPMessage* message) override;

    int answered() const;  // requests answered so far

private:
    // What is known of one connection. The descriptor number alone does not
    // name a connection: once the server drops one, the next accepted
    // connection may get the same number. The socket's inode number does, so
    // a changed inode means a new connection and a fresh record.
    struct connection {
        ino_t socket_id = 0;  // 0 (no socket has it): nothing known yet
        bool may_set = false;   // the peer's user id is the daemon's own
        bool closing = false;   // refused; its bytes are dropped until the server sees the close
        std::string partial;    // bytes of the line not yet complete
    };

    connection& connection_of(int fd);
    bool peer_is_owner(int fd);
    // Frames `len` bytes of `c` into lines and appends one reply line per
    // complete line to `replies`. False when the connection must end.
    bool take_bytes(connection& c, const char* data, size_t len, std::string& replies);
    JString answer(std::string line, bool may_set);
    void reply_and_close(TCPMessage* message, connection& c, const std::string& replies, bool keep);

    JTCPServer& server_;
    config_store& store_;
    std::map<int, connection> connections_;  // by descriptor; reading thread only
    std::atomic<int> answered_{0};
};

}  // namespace demo
