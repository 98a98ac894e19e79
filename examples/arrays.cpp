// SPDX-License-Identifier: MIT
// Owning arrays: values, messages and strings enter by copy and the array
// releases them. A JStringArray of "key: value" lines works as a settings table.
#include <fieldkit/fieldkit.h>

#include <cstdio>

int main()
{
    // Settings as lines; lookups find the first line that contains the key.
    JStringArray settings;
    settings.AddString("Name: sensor-7");
    settings.AddString("Port: 8080");
    settings.AddString("interval = 250");
    JString port = settings.FindStringinString("Port", 1);               // "8080"
    JString interval = settings.FindStringinStringNoCase("INTERVAL", 1);  // "250"

    // Sorting uses qsort with strcmp or strcasecmp order.
    settings.sort_no_case();
    std::printf("first setting after sorting: %s\n", settings.ReadString(0).GetBuffer());

    // Numbers live in cells of their own; operator[] hands out the cell.
    DWORDArray samples(10ul);
    samples += 20ul;
    samples.Add(30ul);
    *samples[0] += 5;           // changes the stored value in place
    DWORDArray copy = samples;  // deep copy: later changes don't show in it
    samples.Remove(1);          // shifts the later cells down

    // Messages are deep-copied together with their connection descriptor.
    TCPMessage m;
    char bytes[] = "reading";
    m.SetMessage(bytes, 7);
    m.socket = 4;
    TCPMessageArray queue(&m);
    m.FreeMessage();  // the array keeps its own copy of the bytes

    // Pop and PrintAll take from the end: last in, first out.
    JStringArray log;
    log.AddString("first");
    log.AddString("second");
    log.PrintAll(1);  // prints "second" then "first", and empties the array

    const bool right = port == "8080" && interval == "250" && *copy[0] == 15 && samples.GetCount() == 2 &&
                       *samples[1] == 30 && queue[0]->length == 7 && queue[0]->socket == 4 &&
                       log.GetCount() == 0;
    std::printf("port %s, interval %s, %d samples, queued message of %u bytes\n", port.GetBuffer(),
                interval.GetBuffer(), samples.GetCount(), queue[0]->length);
    return right ? 0 : 1;
}
