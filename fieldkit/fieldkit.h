// SPDX-License-Identifier: MIT
/// @file
/// fieldkit: everything in one include. Applications may include single class
/// headers instead, e.g. <fieldkit/net/JSocket.h>.
#pragma once

#include <fieldkit/Version.h>
#include <fieldkit/core/Clock.h>
#include <fieldkit/core/Message.h>
#include <fieldkit/core/CriticalSection.h>
#include <fieldkit/net/JSocket.h>
#include <fieldkit/net/JConnectionEvents.h>
#include <fieldkit/net/JStdApp.h>
#include <fieldkit/net/JTCPServer.h>
#include <fieldkit/strings/JString.h>
#include <fieldkit/collections/JPtrArray.h>
#include <fieldkit/collections/DWORDArray.h>
#include <fieldkit/collections/TCPMessageArray.h>
#include <fieldkit/collections/JStringArray.h>
