// SPDX-License-Identifier: MIT
// Each allocating operation runs with its 1st, 2nd, ... allocation failing until it completes.
// One row per allocation path of the library; the comment at a row names the calls that share it.
#include <fieldkit/collections/JStringArray.h>
#include <fieldkit/collections/TCPMessageArray.h>
#include <fieldkit/core/Message.h>
#include <fieldkit/net/JSocket.h>
#include <fieldkit/net/JTCPServer.h>
#include <fieldkit/strings/JString.h>

#include "support/FailingAllocator.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

template <typename T>
using Row = std::pair<const char*, std::function<void(T&)>>;  // name, operation

// An array renders each element followed by ';', an empty one as "".
std::string Show(const JString& s) { return std::to_string(s.GetLength()) + ":" + (s.GetBuffer() ? s.GetBuffer() : "<none>"); }
std::string Show(const Message& m) { return m.data ? std::string(m.data, m.length) : "<none>"; }
std::string Show(const TCPMessage& m) { return std::to_string(m.socket) + ":" + Show(static_cast<const Message&>(m)); }

template <typename Element>
std::string ShowEach(const JPtrArray& a)
{
    std::string out;
    for (int i = 0; i < a.GetCount(); ++i)
        out += (a[i] ? Show(*static_cast<const Element*>(a[i])) : std::string("<empty>")) + ";";
    return out;
}
std::string Show(const TCPMessageArray& a) { return ShowEach<TCPMessage>(a); }
std::string Show(const JStringArray& a) { return ShowEach<JString>(a); }

TCPMessage Record(const char* text, int socket)
{
    TCPMessage m;
    m.SetMessage(text, static_cast<int>(std::char_traits<char>::length(text)));
    m.socket = socket;
    return m;
}

// The object each run starts from.
void Fill(JString& s) { s = "  ab  cd  "; }
void Fill(TCPMessage& m) { m = Record("hello", 7); }
void Fill(TCPMessageArray& a) { a = TCPMessageArray(Record("ab", 1)) + Record("cd", 2); }
void Fill(JStringArray& a) { a = JStringArray(JString("b: 1")) + JString("A = 2") + JString("c  c"); }

// Made before any measurement, so the rows allocate only for their operation.
const JString kText("pq");
const TCPMessageArray kRecords = Record("xyz", 9);
const JStringArray kLines = JStringArray(JString("x")) + JString("y");

// Usable: takes an assignment, and a copy of it shows the same.
template <typename T>
bool Reusable(T& object)
{
    T sample;
    Fill(sample);
    object = sample;
    return Show(T(object)) == Show(sample);
}

// Runs the row on a fresh object with allocation n failing: a failure must give bad_alloc alone, leave
// the object as it was (or rendered as `state` when one is given) and usable, and leak no block.
// False once no allocation failed.
template <typename T>
bool RunOnce(const std::function<void(T&)>& apply, long n, const char* state)
{
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    bool failed = false, bad_alloc = false, other = false;
    const long live = fktest::LiveBlocks();
    {
        const auto object = std::make_unique<T>();
        Fill(*object);
        const std::string before = Show(*object);
        fktest::FailAllocation(n);
        try { apply(*object); }
        catch (const std::bad_alloc&) { bad_alloc = true; }
        catch (...) { other = true; }
        failed = fktest::Disarm();
        EXPECT_EQ(bad_alloc, failed);
        EXPECT_FALSE(other);
        if (failed) {
            EXPECT_EQ(Show(*object), state ? state : before);
        }
        EXPECT_TRUE(Reusable(*object));
    }
    EXPECT_EQ(fktest::LiveBlocks(), live) << "blocks leaked";
    return failed;
}

// Fails allocation 1, 2, ... of each row until it completes. Result: the failures survived in all.
template <typename T>
long Walk(const std::vector<Row<T>>& rows, const char* state = nullptr)
{
    long survived = 0;
    for (const auto& [name, apply] : rows) {
        SCOPED_TRACE(name);
        for (long n = 1; RunOnce(apply, n, state); ++n)
            ++survived;
    }
    return survived;
}

// Copying, appending and assigning; `other` is a second array of the kind. a += a and every operator+
// are a constructor and appends. DWORDArray runs the same lines with elements that cannot fail to copy.
template <typename A>
void WalkCopies(const char* type, const A& other)
{
    SCOPED_TRACE(type);
    Walk<A>({{"copy constructor", [](A& a) { A copy(a); }}, {"operator+=(array)", [&](A& a) { a += other; }}});
    Walk<A>({{"operator=", [&](A& a) { a = other; }}}, "");
}

TEST(AllocationFailure, TheArmedAllocationFailsAndBlocksAreCounted)
{
    const long live = fktest::LiveBlocks();
    fktest::FailAllocation(2);
    // Calls, not new-expressions: the optimiser may drop a new-expression whose block is never used.
    void* const first = ::operator new(8);
    EXPECT_THROW(::operator delete(::operator new(8)), std::bad_alloc);
    EXPECT_TRUE(fktest::Disarm());
    EXPECT_EQ(fktest::LiveBlocks(), live + 1);
    ::operator delete(first);
}

// Fault: a failed fill that leaks, or keeps a freed buffer or a stale length.
TEST(AllocationFailure, MessageRecordsAreLeftAsTheyWereOrEmpty)
{
    Walk<TCPMessage>({{"SetMessage from its own buffer", [](TCPMessage& m) { m.SetMessage(m.data + 1, 3); }}});
    // SetMessage is also every Message constructor and operator=. ReceiveMessage(TCPMessage*, unsigned short)
    // forwards to ReceiveMessage(Message*, unsigned short, int), here on an emptied record.
    Walk<TCPMessage>({
        {"SetMessage", [](TCPMessage& m) { m.SetMessage("xyz", 3); }},
        {"ReceiveMessage", [](TCPMessage& m) {
             m.FreeMessage();
             const fktest::SocketPair pair;
             send(pair.fds[1], "bye", 3, MSG_NOSIGNAL);
             JSocket().ReceiveMessage(static_cast<Message*>(&m), 5000, pair.fds[0]);
         }},
    }, "7:<none>");
}

// Fault: an edit that frees the old text before the new block exists, or leaks it.
TEST(AllocationFailure, JStringIsLeftAsItWasOrWithoutText)
{
    Walk<JString>({
        // Every constructor, Mid, Left, Right; the by-value JString of Compare, Find and the like.
        {"JString(const JString&)", [](JString& s) { JString made(s); }},
        {"operator+=(const JString&)", [](JString& s) { s += kText; }},  // the other +=, every operator+
        {"FindNoCase(const char*, int)", [](JString& s) { s.FindNoCase("CD", 1); }},  // other FindNoCase
        {"Replace(char, JString)", [](JString& s) { s.Replace(' ', kText); }},
        {"Insert", [](JString& s) { s.Insert(3, kText); }},
        // DeleteUptoFirstChar and the DeleteLeading/Trailing Chars/WhiteSpace family end in Delete.
        {"Delete", [](JString& s) { s.Delete(3, 2); }},
        {"Remove", [](JString& s) { s.Remove(' '); }},
        {"RemoveMultiChars", [](JString& s) { s.RemoveMultiChars(' '); }},  // ExtractWord edits with these
    });
    Walk<JString>({{"operator=(const JString&)", [](JString& s) { s = kText; }}}, "10:<none>");  // =, Format
}

// Fault (among others): a failed append that empties the array, or leaks the copies made so far.
TEST(AllocationFailure, ArraysAreLeftAsTheyWereOrEmptyAfterAssignment)
{
    WalkCopies("TCPMessageArray", kRecords);
    WalkCopies("JStringArray", kLines);
    // Every Add, AddString, Push and constructor from a value appends a new element as the copies do.
    // Pop copies the last string, then shrinks the block (as JPtrArray's pop and getptr do).
    Walk<JStringArray>({{"Pop", [](JStringArray& a) { a.Pop(); }}});
}

// Fault: a sort that copies the strings it compares (Compare takes a JString by value).
TEST(AllocationFailure, SortingAllocatesNothing)
{
    EXPECT_EQ(Walk<JStringArray>({
                  {"sort_with_case", [](JStringArray& a) { a.sort_with_case(); }},
                  {"sort_no_case", [](JStringArray& a) { a.sort_no_case(); }},
              }), 0);
}

// Fault: an allocation failure in StartServer (reading threads, readiness lists, slot table) leaks what
// was made, or leaves a half-built table with workers on it.
TEST(AllocationFailure, StartServerFailsWholeAndLeaksNothing)
{
    fktest::TempDir dir;
    const std::string path = dir.path("srv");  // made before any allocation is armed
    const int fds = fktest::OpenDescriptorCount();
    {  // the C library keeps the blocks of finished threads from here on
        JTCPServer warm;
        warm.SetReadingThreads(2);
        warm.StartServer(path.c_str(), 4);
    }
    int refused = 0;
    for (long n = 1, failed = 1; failed; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        const long live = fktest::LiveBlocks();
        {
            JTCPServer server;
            server.SetReadingThreads(2);
            fktest::FailAllocation(n);
            const int started = server.StartServer(path.c_str(), 4);
            failed = fktest::Disarm();
            refused += started == 0;
            if (started == 0) {  // a refused start leaves no table and no worker
                EXPECT_EQ(server.connections, nullptr);
                EXPECT_FALSE(server.listen_thread.running);
            }
        }
        EXPECT_EQ(fktest::LiveBlocks(), live);
    }
    EXPECT_GE(refused, 4);  // the readers, a readiness set's lists, the records, the table
    EXPECT_EQ(fktest::OpenDescriptorCount(), fds);
}

}  // namespace
