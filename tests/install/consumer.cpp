// SPDX-License-Identifier: MIT
// Built against an installed fieldkit: proves the headers, the library and
// the package files are enough for an application, and that the library it
// runs with is the version it compiled against.
#include <fieldkit/fieldkit.h>

#include <cstring>

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
    const bool same_version = std::strcmp(fieldkit_version(), FIELDKIT_VERSION) == 0;
    return copy.length == 4 && ticked && same_version ? 0 : 1;
}
