// SPDX-License-Identifier: MIT
// Built against an installed fieldkit: proves the headers, the library and
// the package files are enough for an application.
#include <fieldkit/fieldkit.h>

int main()
{
    Message m;
    char bytes[] = "ping";
    m.SetMessage(bytes, 4);
    TCPMessage copy;
    static_cast<Message&>(copy) = m;
    const unsigned int before = GetTickCount();
    Sleep(1);
    const bool ticked = GetTickCount() - before < 1000u;
    return copy.length == 4 && ticked ? 0 : 1;
}
