// SPDX-License-Identifier: MIT
// Clock and message records: time a short sleep with the millisecond tick
// counter, and pass bytes around in Message/TCPMessage records.
#include <fieldkit/fieldkit.h>

#include <cstdio>
#include <cstring>

int main()
{
    // The tick counter wraps; only unsigned differences of two readings count.
    const unsigned int start = GetTickCount();
    Sleep(50);  // resumes after signals with the remainder only
    const unsigned int slept = GetTickCount() - start;

    // A Message owns a copy of the bytes it is given.
    char greeting[] = "hello from fieldkit";
    Message hello;
    hello.SetMessage(greeting, static_cast<int>(std::strlen(greeting)));

    // A TCPMessage also names the connection it belongs to (-1: own socket).
    TCPMessage reply;
    static_cast<Message&>(reply) = hello;  // deep copy of the bytes
    reply.socket = -1;

    std::printf("slept %u ms; message of %u bytes: %.*s\n", slept, reply.length,
                static_cast<int>(reply.length), reply.data);
    return slept >= 49 && reply.length == hello.length ? 0 : 1;
}
