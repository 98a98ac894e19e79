// SPDX-License-Identifier: MIT
// Each allocating operation runs with its 1st, 2nd, ... allocation failing until it completes: every
// failure gives bad_alloc alone, leaks no block, leaves the object as allowed and usable.
// Forwarding overloads get no row; the comment at a row names them.
#include <fieldkit/collections/DWORDArray.h>
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
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

// What a failed operation may leave in its object.
enum class Left {
    kAsItWas,         // unchanged
    kState,           // exactly the stated rendering
    kAsItWasOrState,  // one of the two
    kEachOldOrNew,    // every element as before or as after success
    kLeadingPart,     // the first elements of before
};
constexpr Left kAsItWas = Left::kAsItWas;

template <typename T>
using Row = std::pair<const char*, std::function<void(T&)>>;  // name, operation

// An array renders each element followed by ';', an empty one as "".
std::string Show(const JString& s) { return std::to_string(s.GetLength()) + ":" + (s.GetBuffer() ? s.GetBuffer() : "<none>"); }
std::string Show(const Message& m) { return m.data ? std::string(m.data, m.length) : "<none>"; }
std::string Show(const TCPMessage& m) { return std::to_string(m.socket) + ":" + Show(static_cast<const Message&>(m)); }
std::string Show(int i) { return std::to_string(i); }
std::string Show(unsigned long v) { return std::to_string(v); }

template <typename Element>
std::string ShowEach(const JPtrArray& a)
{
    std::string out;
    for (int i = 0; i < a.GetCount(); ++i)
        out += (a[i] ? Show(*static_cast<const Element*>(a[i])) : std::string("<empty>")) + ";";
    return out;
}
std::string Show(const JPtrArray& a) { return ShowEach<int>(a); }
std::string Show(const DWORDArray& a) { return ShowEach<unsigned long>(a); }
std::string Show(const TCPMessageArray& a) { return ShowEach<TCPMessage>(a); }
std::string Show(const JStringArray& a) { return ShowEach<JString>(a); }

TCPMessage Record(const char* text, int socket)
{
    TCPMessage m;
    m.SetMessage(text, static_cast<int>(std::char_traits<char>::length(text))), m.socket = socket;
    return m;
}

// Made before any measurement, so the rows allocate only for their operation.
const JString kText("pq");
const TCPMessage kRecord = Record("xyz", 9);
const DWORDArray kValues = DWORDArray(7ul) + 8ul;
const TCPMessageArray kRecords = kRecord;
const JStringArray kLines = JStringArray(JString("x")) + JString("y");

// Usable: takes an assignment, an append and a copy.
template <typename T>
bool Reuse(T& o, const T& sample) { return o = sample, o += sample, Show(T(o)) == Show(sample + sample); }

// The object each run starts from.
void Fill(JString& s) { s = "  ab  cd  "; }
void Fill(TCPMessage& m) { m = Record("hello", 7); }
void Fill(DWORDArray& a) { a = DWORDArray(1ul) + 2ul + 3ul; }
void Fill(TCPMessageArray& a) { a = TCPMessageArray(Record("ab", 1)) + Record("cd", 2); }
void Fill(JStringArray& a) { a = JStringArray(JString("b: 1")) + JString("A = 2") + JString("c  c"); }
void Fill(JPtrArray& a) { a.push(new int(1)), a.push(new int(2)), a.push(new int(3)); }

// Whether the object is still usable.
bool Reuse(JString& s) { return Reuse(s, kText); }
bool Reuse(TCPMessage& m) { return Show(TCPMessage(m = kRecord)) == Show(kRecord); }
bool Reuse(DWORDArray& a) { return Reuse(a, kValues); }
bool Reuse(TCPMessageArray& a) { return Reuse(a, kRecords); }
bool Reuse(JStringArray& a) { return Reuse(a, kLines); }
bool Reuse(JPtrArray& a) { return a.RemoveAll(), a.push(new int(5)), Show(a) == "5;"; }

bool EachOldOrNew(const std::string& before, const std::string& after, const std::string& done)
{
    const auto elements = [](const std::string& shown) {
        std::vector<std::string> out;
        for (size_t start = 0, end; (end = shown.find(';', start)) != std::string::npos; start = end + 1)
            out.push_back(shown.substr(start, end - start));
        return out;
    };
    const std::vector<std::string> b = elements(before), a = elements(after), d = elements(done);
    bool each = a.size() == b.size() && a.size() == d.size();
    for (size_t i = 0; each && i < a.size(); ++i)
        each = a[i] == b[i] || a[i] == d[i];
    return each;
}

bool Allowed(Left left, const char* state, const std::string& before, const std::string& after, const std::string& done)
{
    switch (left) {
    case Left::kAsItWas: return after == before;
    case Left::kState: return after == state;
    case Left::kAsItWasOrState: return after == before || after == state;
    case Left::kEachOldOrNew: return EachOldOrNew(before, after, done);
    case Left::kLeadingPart: return before.compare(0, after.size(), after) == 0;
    }
    return false;
}

// One run's outcome, kept off the heap so that the block count around it is exact.
struct Run {
    bool failed = false, bad_alloc = false, other = false, reusable = false;  // other: another exception
    long leaked = 0;
    char before[128] = {}, after[128] = {};
};

// Runs the row on a fresh object with allocation n failing (0: none fails).
template <typename T>
Run RunOnce(const std::function<void(T&)>& apply, long n)
{
    Run run;
    const long live = fktest::LiveBlocks();
    {
        const auto object = std::make_unique<T>();
        Fill(*object);
        std::snprintf(run.before, sizeof run.before, "%s", Show(*object).c_str());
        fktest::FailAllocation(n);
        try { apply(*object); }
        catch (const std::bad_alloc&) { run.bad_alloc = true; }
        catch (...) { run.other = true; }
        run.failed = fktest::Disarm();
        std::snprintf(run.after, sizeof run.after, "%s", Show(*object).c_str());
        run.reusable = Reuse(*object);
    }
    run.leaked = fktest::LiveBlocks() - live;
    return run;
}

// Fails allocation 1, 2, ... of each row until it completes; the failures survived in all.
template <typename T>
long Walk(Left left, const std::vector<Row<T>>& rows, const char* state = "")
{
    long survived = 0;
    for (const auto& [name, apply] : rows) {
        SCOPED_TRACE(name);
        const Run done = RunOnce(apply, 0);
        EXPECT_FALSE(done.bad_alloc);
        EXPECT_EQ(done.leaked, 0);
        for (long n = 1;; ++n, ++survived) {
            SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
            const Run run = RunOnce(apply, n);
            EXPECT_EQ(run.leaked, 0);
            EXPECT_FALSE(run.other);
            EXPECT_TRUE(run.reusable);
            if (!run.failed) {
                EXPECT_STREQ(run.after, done.after);
                break;
            }
            EXPECT_TRUE(run.bad_alloc);
            EXPECT_TRUE(Allowed(left, state, run.before, run.after, done.after))
                << run.before << " became " << run.after;
        }
    }
    return survived;
}

// The copies and appends every value array shares; `other` is a second array of its kind.
template <typename A>
void WalkCopies(const char* type, const A& other)
{
    SCOPED_TRACE(type);
    Walk<A>(kAsItWas, {
        {"copy constructor", [](A& a) { A copy(a); }},
        {"operator+=(array)", [&](A& a) { a += other; }},
        {"operator+= itself", [](A& a) { a += a; }},
        // The other operator+ compose the same constructors and appends.
        {"operator+(array, array)", [&](A& a) { A sum = a + other; }},
    });
    Walk<A>(Left::kState, {{"operator=", [&](A& a) { a = other; }}}, "");
}

struct AllocationFailure : ::testing::Test {  // an unbuffered stdout allocates no buffer amid a count
    static void SetUpTestSuite() { std::setvbuf(stdout, nullptr, _IONBF, 0); }
};

TEST_F(AllocationFailure, TheArmedAllocationFailsAndBlocksAreCounted)
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

TEST_F(AllocationFailure, MessageRecordsAndReceiveMessageLeaveTheRecordAsItWasOrEmpty)
{
    Walk<TCPMessage>(kAsItWas, {
        {"TCPMessage copy", [](TCPMessage& m) { TCPMessage copy(m); }},  // as the Message constructors
        {"SetMessage from its own buffer", [](TCPMessage& m) { m.SetMessage(m.data + 1, 3); }},
    });
    Walk<TCPMessage>(Left::kState, {
        {"SetMessage", [](TCPMessage& m) { m.SetMessage("xyz", 3); }},
        {"TCPMessage::operator=", [](TCPMessage& m) { m = kRecord; }},  // Message::operator= in it
    }, "7:<none>");
    // ReceiveMessage(TCPMessage*, unsigned short) forwards to this one.
    Walk<TCPMessage>(Left::kAsItWasOrState, {{"ReceiveMessage(Message*, unsigned short, int)", [](TCPMessage& m) {
                         const fktest::SocketPair pair;
                         send(pair.fds[1], "bye", 3, MSG_NOSIGNAL);
                         JSocket().ReceiveMessage(static_cast<Message*>(&m), 5000, pair.fds[0]);
                     }}}, "7:<none>");
}

TEST_F(AllocationFailure, JStringIsLeftAsItWasOrWithoutText)
{
    Walk<JString>(kAsItWas, {
        // Every constructor; the by-value JString of Compare, CompareNoCase, Find, JStringArray::FindString.
        {"JString(const JString&)", [](JString& s) { JString made(s); }},
        {"operator+=(const JString&)", [](JString& s) { s += kText; }},   // +=(char), +=(const char*)
        {"operator+= itself", [](JString& s) { s += s; }},  // every operator+ is a constructor and an append
        {"operator+(JString, const char*)", [](JString& s) { JString sum = s + "pq"; }},
        {"FindNoCase(const char*, int)", [](JString& s) { s.FindNoCase("CD", 1); }},  // other FindNoCase
        {"Mid(int, int)", [](JString& s) { s.Mid(3, 4); }},                             // Mid(int), Left, Right
        {"ExtractWord", [](JString& s) { s.ExtractWord(2); }},
        {"Replace(char, JString)", [](JString& s) { s.Replace(' ', kText); }},
        {"Insert", [](JString& s) { s.Insert(3, kText); }},
        // DeleteUptoFirstChar and the DeleteLeading/Trailing Chars/WhiteSpace family end in Delete.
        {"Delete", [](JString& s) { s.Delete(3, 2); }},
        {"Remove", [](JString& s) { s.Remove(' '); }},
        {"RemoveMultiChars", [](JString& s) { s.RemoveMultiChars(' '); }},
    });
    Walk<JString>(Left::kState, {
        {"operator=(const JString&)", [](JString& s) { s = kText; }},  // =(char), =(const char*)
        {"Format", [](JString& s) { s.Format("%d%s", 12, "x"); }},
    }, "10:<none>");
}

TEST_F(AllocationFailure, ArraysAreLeftAsTheyWereOrEmptyAfterAssignment)
{
    Walk<JPtrArray>(kAsItWas, {
        {"push", [](JPtrArray& a) { std::unique_ptr<int> element(new int(4)); a.push(element.get()), element.release(); }},
        {"pop", [](JPtrArray& a) { delete static_cast<int*>(a.pop()); }},  // getptr
    });
    WalkCopies("DWORDArray", kValues);
    WalkCopies("TCPMessageArray", kRecords);
    // Also the constructors from a value, Add(value*) and operator+=(value).
    Walk<DWORDArray>(kAsItWas, {{"DWORDArray::Add(unsigned long)", [](DWORDArray& a) { a.Add(4ul); }}});
    Walk<TCPMessageArray>(kAsItWas, {{"TCPMessageArray::Add(TCPMessage)", [](TCPMessageArray& a) { a.Add(kRecord); }}});
}

TEST_F(AllocationFailure, JStringArrayKeepsEveryElementWholeAndSortsWithoutAllocating)
{
    WalkCopies("JStringArray", kLines);
    Walk<JStringArray>(kAsItWas, {
        // Also JStringArray(JString), the other AddString, Push and operator+=(JString).
        {"AddString(const char*)", [](JStringArray& a) { a.AddString("pq"); }},
        {"Pop", [](JStringArray& a) { a.Pop(); }},                  // GetString
        {"ReadString", [](JStringArray& a) { a.ReadString(1); }},  // operator[]
        {"FindStringinString", [](JStringArray& a) { a.FindStringinString("b", 1); }},
        {"FindStringinStringNoCase", [](JStringArray& a) { a.FindStringinStringNoCase("a", 1); }},
    });
    Walk<JStringArray>(Left::kLeadingPart, {{"PrintAll", [](JStringArray& a) { a.PrintAll(1); }}});
    // One loop runs every per-element edit (DeleteUptoFirstChar, Remove, DeleteLeading/TrailingChars, RemoveMultiChars).
    Walk<JStringArray>(Left::kEachOldOrNew, {
        {"Replace(char, JString)", [](JStringArray& a) { a.Replace(' ', kText); }},
        {"DeleteFind", [](JStringArray& a) { a.DeleteFind(' ', -1); }},
    });
    EXPECT_EQ(Walk<JStringArray>(kAsItWas, {
                  {"sort_with_case", [](JStringArray& a) { a.sort_with_case(); }},
                  {"sort_no_case", [](JStringArray& a) { a.sort_no_case(); }},
              }), 0);
}

// Fault: an allocation failure in StartServer (reading threads, readiness lists, slot table) leaks what
// was made, or leaves a half-built table with workers on it.
TEST_F(AllocationFailure, StartServerFailsWholeAndLeaksNothing)
{
    fktest::TempDir dir;
    const std::string path = dir.path("srv");
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
