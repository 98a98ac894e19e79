// SPDX-License-Identifier: MIT
#pragma once

#include <fieldkit/Export.h>
#include <fieldkit/core/Message.h>

/// Base class of the application object that a JTCPServer hands every
/// received message to. Applications derive from it and implement OnMessage.
///
/// @code
/// class Echo : public JStdApp {
/// public:
///     explicit Echo(JTCPServer& server) : server_(server) {}
///     int OnMessage(TCPMessage* message) override { return server_.SendMessage(message); }
/// private:
///     JTCPServer& server_;
/// };
///
/// JTCPServer server("/run/echo.sock", 8);
/// Echo echo(server);
/// server.SetApp(&echo);
/// @endcode
///
/// Ownership: the object belongs to the application; the server only keeps a
/// pointer to it (JTCPServer::SetApp) and never deletes it. The object must
/// outlive every server it is given to, or be taken back with SetApp(nullptr)
/// while no message can be in delivery (e.g. after the server stopped).
///
/// Threads: OnMessage runs on the server's reading thread; with several
/// reading threads (JTCPServer::SetReadingThreads) calls for different
/// connections may run at the same time, calls for one connection never do.
class FIELDKIT_API JStdApp {
public:
    virtual ~JStdApp();  ///< does nothing; the server never deletes the object

    /// Called once per successful read with the reading thread's own message:
    /// its bytes (at most 2048) and, in `socket`, the connection they came from.
    /// Answer through the server's SendMessage(message), which never waits for
    /// the client: what the socket does not take is queued (JTCPServer's send
    /// limit and bound apply). The bytes are replaced by the next read: copy
    /// what must be kept. The result is ignored by the server. While it runs no
    /// other connection of its reading thread is read, and stopping waits for
    /// it to return.
    virtual int OnMessage(TCPMessage* message) = 0;
};
