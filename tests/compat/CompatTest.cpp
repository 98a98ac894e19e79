// SPDX-License-Identifier: MIT
// Application code written against this interface must keep compiling, warnings as errors: it catches
// a one-argument constructor made explicit, and an added overload that makes a char, a char*, a 0ul, a
// pointer or a JString argument ambiguous. Run, it only builds values.
#include <fieldkit/fieldkit.h>

#include <type_traits>

// Each owns a descriptor or a semaphore set that only one object may release.
static_assert(!std::is_copy_constructible_v<JSocket> && !std::is_copy_assignable_v<JSocket>);
static_assert(!std::is_copy_constructible_v<JTCPServer> && !std::is_copy_assignable_v<JTCPServer>);

int main()
{
    char text[] = "Hello", fmt[] = "%s";
    JString s = 'x', from_text(text), from_ptr = &from_text;  // char, char*, JString*
    s = 'y', s = text, s += 'z', s += text, s.Format(fmt, text);
    const JString sums = 'x' + s + text + 'y', left = text + s;
    [[maybe_unused]] int n = (s == "lit") + ("lit" != s) + (text < s) + (s >= text) + s.Compare('x');
    n += s.Find('o') + s.Find(text) + s.Find(from_ptr) + s.FindNoCase('o', 1);
    n += s.Replace('o', '0') + s.Replace('l', from_ptr);
    s.Insert(0, 'q'), s.DeleteLeadingChars(text), s.DeleteLeadingChars('x');
    unsigned long value = 9;
    DWORDArray d = 5ul, from_value = &value;  // unsigned long, unsigned long*
    d.Add(0ul), d += 3ul;                     // a bare 0 is ambiguous between the value and the pointer
    const DWORDArray d_sums = 4ul + d + &value;
    TCPMessage message;
    TCPMessageArray ms = message, from_message = &message;  // TCPMessage, TCPMessage*
    const TCPMessageArray ms_sums = message + ms + &message;
    JStringArray a = JString("a");
    a += JString("b"), a.AddString(text);
    const JStringArray a_sums = JString("s") + a;
    Message other, m = &other;  // Message(Message*)
}
