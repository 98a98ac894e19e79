// SPDX-License-Identifier: MIT
// JStdApp: base class of the application object that a JTCPServer hands every
// received message to. Applications derive from it and implement OnMessage.
//
// Ownership: the object belongs to the application; the server only keeps a
// pointer to it (JTCPServer::SetApp) and never deletes it. The object must
// outlive every server it is given to, or be taken back with SetApp(nullptr)
// while no message can be in delivery (e.g. after the server stopped).
// Threads: OnMessage runs on the server's reading thread.
#pragma once

#include <fieldkit/Export.h>
#include <fieldkit/core/Message.h>

class FIELDKIT_API JStdApp {
public:
    virtual ~JStdApp();

    // Called once per successful read with the reading thread's own message:
    // its bytes (at most 2048) and, in `socket`, the connection they came from.
    // Answer through the server's SendMessage(message). The bytes are replaced
    // by the next read: copy what must be kept. The result is ignored by the
    // server. While it runs no other connection is read, and stopping waits
    // for it to return.
    virtual int OnMessage(TCPMessage* message) = 0;
};
