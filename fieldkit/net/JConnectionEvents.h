// SPDX-License-Identifier: MIT
/// @file
/// JConnectionEvents, the optional observer of a JTCPServer's connections.
#pragma once

#include <fieldkit/Export.h>

#include <sys/types.h>

/// Why a JTCPServer closed a connection (JConnectionEvents::OnClose).
enum conn_close_reason : int {
    CLOSED_BY_PEER = 1,       ///< the peer ended it (its queued replies were written out first) or it failed
    CLOSED_IDLE = 2,          ///< silent for the idle limit (JTCPServer::SetIdleTimeout)
    CLOSED_SEND_LIMIT = 3,    ///< its unsent replies would pass JTCPServer::SetSendBufferLimit
    CLOSED_SEND_TIMEOUT = 4,  ///< its unsent replies did not drain within JTCPServer::SetSendTimeout
    CLOSED_SERVER_STOP = 5    ///< the server stopped (Cleanup, StartServer again, destruction)
};

/// One connection of a JTCPServer as its events describe it.
struct FIELDKIT_API JConnectionInfo {
    int slot;              ///< index of its slot in JTCPServer::connections
    int fd;                ///< its descriptor, open for the whole call
    bool has_credentials;  ///< pid, uid and gid are known (local servers)
    pid_t pid;             ///< peer process at connect time
    uid_t uid;             ///< peer user
    gid_t gid;             ///< peer group
};

/// Observer of the connections of a JTCPServer (JTCPServer::SetConnectionEvents):
/// told of every accepted connection, which it may refuse, and of every close
/// with its reason. Derive from it and override what you need; the defaults
/// accept and ignore.
///
/// Every connection gets exactly one OnAccept; every connection that OnAccept
/// kept gets exactly one OnClose. Connections that the per-user limit turns
/// away (JTCPServer::SetConnectionsPerUser) get neither.
///
/// Ownership: the application's; the server keeps a pointer and never deletes it.
///
/// Threads: OnAccept runs on the accepting thread, OnClose on the reading
/// thread that served the connection, or on the thread that stops the server
/// (CLOSED_SERVER_STOP). With several reading threads OnClose calls for
/// different connections may overlap each other, OnAccept and OnMessage.
class FIELDKIT_API JConnectionEvents {
public:
    virtual ~JConnectionEvents();  ///< does nothing
    /// A connection was accepted into `info.slot`; it is not yet served.
    /// true keeps it; false closes it at once (no OnClose follows).
    virtual bool OnAccept(const JConnectionInfo& info);
    /// The connection is about to be closed for `reason`; `info.fd` is still
    /// open, no further message of it is delivered, and sends on it fail.
    virtual void OnClose(const JConnectionInfo& info, conn_close_reason reason);
};
