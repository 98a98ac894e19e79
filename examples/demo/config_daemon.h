// SPDX-License-Identifier: MIT
// The demo daemon's protocol on a JTCPServer: newline-framed requests
// "GET key" and "SET key value", one reply line each ("OK ..." or "ERR ...").
#pragma once

#include "config_store.h"

#include <fieldkit/fieldkit.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace demo {

constexpr int kMaxLineBytes = 1024;  // a longer request line (its CR LF not counted) ends its connection

// The application object of the server and the observer of its connections.
// Bytes are framed per connection: a partial line waits for its rest, several
// lines in one read get one reply each, in order, answered under one hold of
// the settings. A line over kMaxLineBytes gets "ERR line too long" and the
// connection is shut down. Only a peer running under the daemon's own user id
// may SET.
// Register it with both SetApp and SetConnectionEvents before the server
// starts: a connection is served only with the record OnAccept made for it.
// Threads: OnMessage and OnClose may run on several reading threads at once
// and OnAccept on the accepting thread (the connection table and the store are
// guarded; a record is used only by its connection's reading thread once
// made); answered() may be read from any thread.
class config_daemon : public JStdApp, public JConnectionEvents {
public:
    config_daemon(JTCPServer& server, config_store& store);

    int OnMessage(TCPMessage* message) override;
    bool OnAccept(const JConnectionInfo& info) override;  // records the peer; keeps every connection
    void OnClose(const JConnectionInfo& info, conn_close_reason reason) override;  // drops the record

    int answered() const;  // requests answered so far

private:
    // What is known of one connection.
    struct connection {
        bool may_set = false;   // the peer's user id is the daemon's own
        bool closing = false;   // refused; its bytes are dropped until the server sees the close
        std::string partial;    // bytes of the line not yet complete
    };
    using connection_ptr = std::shared_ptr<connection>;

    // The record OnAccept made for the connection on `fd`; null for one
    // accepted before the events were registered. A descriptor names one
    // connection from its OnAccept to its OnClose: the server closes it, and
    // may hand its number to a new connection, only after OnClose.
    connection_ptr connection_of(int fd);
    // Frames `len` bytes of `c` into lines and appends one reply line per
    // complete line to `replies`. False when the connection must end.
    bool take_bytes(connection& c, const char* data, size_t len, std::string& replies);
    static JString answer(std::string line, bool may_set, config_store::batch& settings);
    void reply_and_close(TCPMessage* message, connection& c, const std::string& replies, bool keep);

    JTCPServer& server_;
    config_store& store_;
    std::mutex connections_lock_;                    // guards the table, not the records
    std::map<int, connection_ptr> connections_;      // by descriptor, from OnAccept to OnClose
    std::atomic<int> answered_{0};
};

}  // namespace demo
