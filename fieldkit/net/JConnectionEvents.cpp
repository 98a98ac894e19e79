// SPDX-License-Identifier: MIT
#include "JConnectionEvents.h"

JConnectionEvents::~JConnectionEvents() = default;

bool JConnectionEvents::OnAccept(const JConnectionInfo&)
{
    return true;
}

void JConnectionEvents::OnClose(const JConnectionInfo&, conn_close_reason) {}
