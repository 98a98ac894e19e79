// SPDX-License-Identifier: MIT
// Where a send on a serving JTCPServer goes: sends through the server object
// on one of its connections are handed to the server's output path instead of
// the plain send. Internal: not installed.
//
// Threads: any. A route is called under a shared lock that remove_route()
// waits for, so a server never goes away under a send it is handling.
#pragma once

class JSocket;

namespace fieldkit::detail {

// The server side of a route; the server keeps it, linked into the table
// while it serves, so the table allocates nothing.
class SendRoute {
public:
    // Sends on `fd` if it is one of the server's connections: true with the
    // send's result (1 usable, 0 lost) in *result; false when `fd` is not one
    // of them, and the caller sends the plain way.
    virtual bool send(int fd, const char* buf, unsigned long len, int* result) = 0;

protected:
    ~SendRoute() = default;

private:
    friend void add_route(const JSocket* server, SendRoute* route);
    friend void remove_route(SendRoute* route);
    friend bool route_send(const JSocket* server, int fd, const char* buf, unsigned long len, int* result);
    const JSocket* server_ = nullptr;  // null while not linked
    SendRoute* next_ = nullptr;
};

// Links `route` as the route of `server` (once; a linked route stays as it is).
void add_route(const JSocket* server, SendRoute* route);
void remove_route(SendRoute* route);  // unlinks it, after the sends under way through it
// As SendRoute::send for the route of `server`; false when it has none.
bool route_send(const JSocket* server, int fd, const char* buf, unsigned long len, int* result);

}  // namespace fieldkit::detail
