// SPDX-License-Identifier: MIT
// Every allocating operation runs again and again with its 1st, 2nd, ...
// allocation failing, until it completes. Each failure must give bad_alloc and
// nothing else, leave no block behind once the objects are gone, leave the
// object as it was or in its stated failure state, and leave it usable.
#include <fieldkit/collections/DWORDArray.h>
#include <fieldkit/collections/JStringArray.h>
#include <fieldkit/collections/TCPMessageArray.h>
#include <fieldkit/core/Message.h>
#include <fieldkit/net/JSocket.h>
#include <fieldkit/strings/JString.h>

#include "support/FailingAllocator.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// What a failed operation may leave in its object.
enum class Left {
    kAsItWas,         // unchanged
    kState,           // exactly the row's stated rendering
    kAsItWasOrState,  // one of the two
    kEachOldOrNew,    // every element as before or as after success
    kLeadingPart,     // the first elements of before
};

template <typename T>
struct Row {
    const char* name;
    Left left;
    std::function<void(T&)> apply;
    const char* state;  // for kState and kAsItWasOrState
};

// How to build, render and reuse the object of each class. Renderings end
// every element with ';', so an empty array renders as "".
template <typename T>
struct Subject;

std::string Show(const JString& s)
{
    return std::to_string(s.GetLength()) + ":" + (s.GetBuffer() ? s.GetBuffer() : "<none>");
}

std::string Show(const Message& m)
{
    return m.data ? std::string(m.data, m.length) : "<none>";
}

std::string Show(const TCPMessage& m)
{
    return std::to_string(m.socket) + ":" + Show(static_cast<const Message&>(m));
}

TCPMessage Record(const char* text, int socket)
{
    TCPMessage m;
    m.SetMessage(text, static_cast<int>(std::char_traits<char>::length(text)));
    m.socket = socket;
    return m;
}

// Sources made before any measurement, so the rows allocate only for their operation.
const JString kText("pq");
const TCPMessage kRecord = Record("xyz", 9);
unsigned long kValue = 5;
const DWORDArray kValues = DWORDArray(7ul) + 8ul;
const TCPMessageArray kRecords = kRecord;
const JStringArray kLines = JStringArray(JString("x")) + JString("y");

template <typename Array, typename Element, typename Of>
std::string ShowEach(Array& a, Of of)
{
    std::string out;
    for (int i = 0; i < a.GetCount(); ++i) {
        const Element* element = static_cast<const Element*>(static_cast<const JPtrArray&>(a)[i]);
        out += (element ? of(*element) : std::string("<empty>")) + ";";
    }
    return out;
}

template <>
struct Subject<JString> {
    static std::unique_ptr<JString> Make() { return std::make_unique<JString>("  ab  cd  "); }
    static std::string Show(const JString& s) { return ::Show(s); }
    static bool Reuse(JString& s)
    {
        s = "xy";
        s += 'z';
        const JString copy(s);
        return ::Show(copy) == "3:xyz";
    }
};

template <>
struct Subject<TCPMessage> {
    static std::unique_ptr<TCPMessage> Make() { return std::make_unique<TCPMessage>(Record("hello", 7)); }
    static std::string Show(const TCPMessage& m) { return ::Show(m); }
    static bool Reuse(TCPMessage& m)
    {
        m = kRecord;
        const TCPMessage copy(m);
        return ::Show(copy) == "9:xyz";
    }
};

// A stream socket pair with "hello" waiting to be read into a message.
struct Link {
    int fds[2] = {-1, -1};
    TCPMessage message = Record("old", -1);
    JSocket socket;

    Link()
    {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0 && send(fds[1], "hello", 5, MSG_NOSIGNAL) == 5)
            message.socket = fds[0];
    }
    ~Link()
    {
        close(fds[0]);
        close(fds[1]);
    }
};

template <>
struct Subject<Link> {
    static std::unique_ptr<Link> Make() { return std::make_unique<Link>(); }
    static std::string Show(const Link& l) { return ::Show(static_cast<const Message&>(l.message)); }
    static bool Reuse(Link& l) { return Subject<TCPMessage>::Reuse(l.message); }
};

template <>
struct Subject<JPtrArray> {
    static std::unique_ptr<JPtrArray> Make()
    {
        auto a = std::make_unique<JPtrArray>();
        for (int i = 1; i <= 3; ++i)
            a->push(new int(i));
        return a;
    }
    static std::string Show(const JPtrArray& a)
    {
        return ShowEach<const JPtrArray, int>(a, [](int i) { return std::to_string(i); });
    }
    static bool Reuse(JPtrArray& a)
    {
        a.RemoveAll();
        a.push(new int(5));
        return Show(a) == "5;";
    }
};

template <>
struct Subject<DWORDArray> {
    static std::unique_ptr<DWORDArray> Make() { return std::make_unique<DWORDArray>(DWORDArray(1ul) + 2ul + 3ul); }
    static std::string Show(const DWORDArray& a)
    {
        return ShowEach<const DWORDArray, unsigned long>(a, [](unsigned long v) { return std::to_string(v); });
    }
    static bool Reuse(DWORDArray& a)
    {
        a = kValues;
        a += 9ul;
        const DWORDArray copy(a);
        return Show(copy) == "7;8;9;";
    }
};

template <>
struct Subject<TCPMessageArray> {
    static std::unique_ptr<TCPMessageArray> Make()
    {
        return std::make_unique<TCPMessageArray>(TCPMessageArray(Record("ab", 1)) + Record("cd", 2));
    }
    static std::string Show(const TCPMessageArray& a)
    {
        return ShowEach<const TCPMessageArray, TCPMessage>(a, [](const TCPMessage& m) { return ::Show(m); });
    }
    static bool Reuse(TCPMessageArray& a)
    {
        a = kRecords;
        a += kRecord;
        const TCPMessageArray copy(a);
        return Show(copy) == "9:xyz;9:xyz;";
    }
};

template <>
struct Subject<JStringArray> {
    static std::unique_ptr<JStringArray> Make()
    {
        return std::make_unique<JStringArray>(JStringArray(JString("b: 1")) + JString("A = 2") + JString("c  c"));
    }
    static std::string Show(const JStringArray& a)
    {
        return ShowEach<const JStringArray, JString>(a, [](const JString& s) { return ::Show(s); });
    }
    static bool Reuse(JStringArray& a)
    {
        a = kLines;
        a += JString("z");
        const JStringArray copy(a);
        return Show(copy) == "1:x;1:y;1:z;";
    }
};

std::vector<std::string> Elements(const std::string& shown)
{
    std::vector<std::string> out;
    for (size_t start = 0, end; (end = shown.find(';', start)) != std::string::npos; start = end + 1)
        out.push_back(shown.substr(start, end - start));
    return out;
}

bool EachOldOrNew(const std::string& before, const std::string& after, const std::string& done)
{
    const std::vector<std::string> b = Elements(before), a = Elements(after), d = Elements(done);
    if (a.size() != b.size() || a.size() != d.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && a[i] != d[i])
            return false;
    }
    return true;
}

template <typename T>
bool Allowed(const Row<T>& row, const std::string& before, const std::string& after, const std::string& done)
{
    switch (row.left) {
    case Left::kAsItWas:
        return after == before;
    case Left::kState:
        return after == row.state;
    case Left::kAsItWasOrState:
        return after == before || after == row.state;
    case Left::kEachOldOrNew:
        return EachOldOrNew(before, after, done);
    case Left::kLeadingPart:
        return before.compare(0, after.size(), after) == 0;
    }
    return false;
}

// The outcome of one run, kept without the heap so that counting blocks around it is exact.
struct Run {
    bool failed = false;     // the armed allocation failed
    bool bad_alloc = false;  // std::bad_alloc came out
    bool other = false;      // some other exception came out
    bool reusable = false;   // assign, append and copy worked afterwards
    long leaked = 0;         // blocks left once the objects were gone
    char before[128] = {};
    char after[128] = {};
};

void Keep(char (&to)[128], const std::string& text)
{
    std::snprintf(to, sizeof to, "%s", text.c_str());
}

// Runs the row on a fresh object with allocation n failing (0: none fails).
template <typename T>
Run RunOnce(const Row<T>& row, long n)
{
    Run run;
    const long live = fktest::LiveBlocks();
    {
        std::unique_ptr<T> object = Subject<T>::Make();
        Keep(run.before, Subject<T>::Show(*object));
        fktest::FailAllocation(n);
        try {
            row.apply(*object);
        } catch (const std::bad_alloc&) {
            run.bad_alloc = true;
        } catch (...) {
            run.other = true;
        }
        run.failed = fktest::Disarm();
        Keep(run.after, Subject<T>::Show(*object));
        run.reusable = Subject<T>::Reuse(*object);
    }
    run.leaked = fktest::LiveBlocks() - live;
    return run;
}

// Fails allocation 1, 2, ... of the row until it completes; the number of failures it survived.
template <typename T>
long Walk(const Row<T>& row)
{
    SCOPED_TRACE(row.name);
    const Run done = RunOnce(row, 0);
    EXPECT_FALSE(done.bad_alloc);
    EXPECT_EQ(done.leaked, 0);
    long n = 1;
    for (;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        const Run run = RunOnce(row, n);
        EXPECT_EQ(run.leaked, 0);
        EXPECT_FALSE(run.other);
        EXPECT_TRUE(run.reusable);
        if (!run.failed) {
            EXPECT_STREQ(run.after, done.after);
            break;
        }
        EXPECT_TRUE(run.bad_alloc);
        EXPECT_TRUE(Allowed(row, run.before, run.after, done.after)) << run.before << " became " << run.after;
    }
    return n - 1;
}

template <typename T>
void WalkAll(const std::vector<Row<T>>& rows)
{
    for (const Row<T>& row : rows)
        Walk(row);
}

class AllocationFailure : public ::testing::Test {
protected:
    // An unbuffered stdout never allocates a buffer in the middle of a count.
    static void SetUpTestSuite() { std::setvbuf(stdout, nullptr, _IONBF, 0); }
};

constexpr Left kAsItWas = Left::kAsItWas;
constexpr Left kState = Left::kState;
constexpr Left kEachOldOrNew = Left::kEachOldOrNew;

TEST_F(AllocationFailure, MessageRecordsAreLeftAsTheyWereOrEmpty)
{
    WalkAll<TCPMessage>({
        {"Message(const Message&)", kAsItWas, [](TCPMessage& m) { Message copy(m); }, nullptr},
        {"Message(Message*)", kAsItWas, [](TCPMessage& m) { Message copy(&m); }, nullptr},
        {"TCPMessage copy", kAsItWas, [](TCPMessage& m) { TCPMessage copy(m); }, nullptr},
        {"SetMessage", kState, [](TCPMessage& m) { m.SetMessage("xyz", 3); }, "7:<none>"},
        {"SetMessage from its own buffer", kAsItWas, [](TCPMessage& m) { m.SetMessage(m.data + 1, 3); }, nullptr},
        {"Message::operator=", kState, [](TCPMessage& m) { static_cast<Message&>(m) = kRecord; }, "7:<none>"},
        {"TCPMessage::operator=", kState, [](TCPMessage& m) { m = kRecord; }, "7:<none>"},
    });
}

TEST_F(AllocationFailure, ReceiveMessageLeavesTheMessageAsItWasOrEmpty)
{
    WalkAll<Link>({
        {"ReceiveMessage(Message*, unsigned short, int)", Left::kAsItWasOrState,
         [](Link& l) { l.socket.ReceiveMessage(static_cast<Message*>(&l.message), 5000, l.fds[0]); }, "<none>"},
        {"ReceiveMessage(TCPMessage*, unsigned short)", Left::kAsItWasOrState,
         [](Link& l) { l.socket.ReceiveMessage(&l.message, 5000); }, "<none>"},
    });
}

TEST_F(AllocationFailure, JStringIsLeftAsItWasOrWithoutText)
{
    const char* const without_text = "10:<none>";
    WalkAll<JString>({
        {"JString(char)", kAsItWas, [](JString&) { JString made('x'); }, nullptr},
        {"JString(const char*)", kAsItWas, [](JString& s) { JString made(s.GetBuffer()); }, nullptr},
        {"JString(JString*)", kAsItWas, [](JString& s) { JString made(&s); }, nullptr},
        {"JString(const JString&)", kAsItWas, [](JString& s) { JString made(s); }, nullptr},
        {"operator=(const JString&)", kState, [](JString& s) { s = kText; }, without_text},
        {"operator=(char)", kState, [](JString& s) { s = 'x'; }, without_text},
        {"operator=(const char*)", kState, [](JString& s) { s = "pq"; }, without_text},
        {"Format", kState, [](JString& s) { s.Format("%d%s", 12, "x"); }, without_text},
        {"operator+=(const JString&)", kAsItWas, [](JString& s) { s += kText; }, nullptr},
        {"operator+= itself", kAsItWas, [](JString& s) { s += s; }, nullptr},
        {"operator+=(char)", kAsItWas, [](JString& s) { s += 'x'; }, nullptr},
        {"operator+=(const char*)", kAsItWas, [](JString& s) { s += "pq"; }, nullptr},
        {"operator+(JString, JString)", kAsItWas, [](JString& s) { JString sum = s + kText; }, nullptr},
        {"operator+(JString, char)", kAsItWas, [](JString& s) { JString sum = s + 'x'; }, nullptr},
        {"operator+(char, JString)", kAsItWas, [](JString& s) { JString sum = 'x' + s; }, nullptr},
        {"operator+(JString, const char*)", kAsItWas, [](JString& s) { JString sum = s + "pq"; }, nullptr},
        {"operator+(const char*, JString)", kAsItWas, [](JString& s) { JString sum = "pq" + s; }, nullptr},
        {"Compare", kAsItWas, [](JString& s) { s.Compare(kText); }, nullptr},
        {"CompareNoCase", kAsItWas, [](JString& s) { s.CompareNoCase(kText); }, nullptr},
        {"Find(JString)", kAsItWas, [](JString& s) { s.Find(kText); }, nullptr},
        {"FindNoCase(const char*)", kAsItWas, [](JString& s) { s.FindNoCase("CD"); }, nullptr},
        {"FindNoCase(JString)", kAsItWas, [](JString& s) { s.FindNoCase(kText); }, nullptr},
        {"FindNoCase(const char*, int)", kAsItWas, [](JString& s) { s.FindNoCase("CD", 1); }, nullptr},
        {"Mid(int)", kAsItWas, [](JString& s) { s.Mid(3); }, nullptr},
        {"Mid(int, int)", kAsItWas, [](JString& s) { s.Mid(3, 4); }, nullptr},
        {"Left", kAsItWas, [](JString& s) { s.Left(4); }, nullptr},
        {"Right", kAsItWas, [](JString& s) { s.Right(4); }, nullptr},
        {"ExtractWord", kAsItWas, [](JString& s) { s.ExtractWord(2); }, nullptr},
        {"Replace(char, JString)", kAsItWas, [](JString& s) { s.Replace(' ', kText); }, nullptr},
        {"Insert", kAsItWas, [](JString& s) { s.Insert(3, kText); }, nullptr},
        {"Delete", kAsItWas, [](JString& s) { s.Delete(3, 2); }, nullptr},
        {"Remove", kAsItWas, [](JString& s) { s.Remove(' '); }, nullptr},
        {"DeleteUptoFirstChar", kAsItWas, [](JString& s) { s.DeleteUptoFirstChar('b', 1); }, nullptr},
        {"RemoveMultiChars", kAsItWas, [](JString& s) { s.RemoveMultiChars(' '); }, nullptr},
        {"DeleteLeadingWhiteSpace", kAsItWas, [](JString& s) { s.DeleteLeadingWhiteSpace(); }, nullptr},
        {"DeleteTrailingWhiteSpace", kAsItWas, [](JString& s) { s.DeleteTrailingWhiteSpace(); }, nullptr},
        {"DeleteLeadingChars(const char*)", kAsItWas, [](JString& s) { s.DeleteLeadingChars(" a"); }, nullptr},
        {"DeleteLeadingChars(char)", kAsItWas, [](JString& s) { s.DeleteLeadingChars(' '); }, nullptr},
        {"DeleteTrailingChars(const char*)", kAsItWas, [](JString& s) { s.DeleteTrailingChars(" d"); }, nullptr},
        {"DeleteTrailingChars(char)", kAsItWas, [](JString& s) { s.DeleteTrailingChars(' '); }, nullptr},
    });
}

TEST_F(AllocationFailure, JPtrArrayIsLeftAsItWas)
{
    WalkAll<JPtrArray>({
        {"push", kAsItWas, [](JPtrArray& a) {
             std::unique_ptr<int> element(new int(4));
             a.push(element.get());
             element.release();
         }, nullptr},
        {"pop", kAsItWas, [](JPtrArray& a) { delete static_cast<int*>(a.pop()); }, nullptr},
        {"getptr", kAsItWas, [](JPtrArray& a) { delete static_cast<int*>(a.getptr()); }, nullptr},
    });
}

TEST_F(AllocationFailure, DWORDArrayIsLeftAsItWasOrEmptyAfterAssignment)
{
    WalkAll<DWORDArray>({
        {"DWORDArray(const DWORDArray&)", kAsItWas, [](DWORDArray& a) { DWORDArray copy(a); }, nullptr},
        {"DWORDArray(unsigned long)", kAsItWas, [](DWORDArray&) { DWORDArray made(5ul); }, nullptr},
        {"DWORDArray(unsigned long*)", kAsItWas, [](DWORDArray&) { DWORDArray made(&kValue); }, nullptr},
        {"Add(unsigned long)", kAsItWas, [](DWORDArray& a) { a.Add(4ul); }, nullptr},
        {"Add(unsigned long*)", kAsItWas, [](DWORDArray& a) { a.Add(&kValue); }, nullptr},
        {"operator=", kState, [](DWORDArray& a) { a = kValues; }, ""},
        {"operator+=(const DWORDArray&)", kAsItWas, [](DWORDArray& a) { a += kValues; }, nullptr},
        {"operator+= itself", kAsItWas, [](DWORDArray& a) { a += a; }, nullptr},
        {"operator+=(unsigned long)", kAsItWas, [](DWORDArray& a) { a += 4ul; }, nullptr},
        {"operator+(array, array)", kAsItWas, [](DWORDArray& a) { DWORDArray sum = a + kValues; }, nullptr},
        {"operator+(array, value)", kAsItWas, [](DWORDArray& a) { DWORDArray sum = a + 4ul; }, nullptr},
        {"operator+(value, array)", kAsItWas, [](DWORDArray& a) { DWORDArray sum = 4ul + a; }, nullptr},
        {"operator+(array, pointer)", kAsItWas, [](DWORDArray& a) { DWORDArray sum = a + &kValue; }, nullptr},
        {"operator+(pointer, array)", kAsItWas, [](DWORDArray& a) { DWORDArray sum = &kValue + a; }, nullptr},
    });
}

TEST_F(AllocationFailure, TCPMessageArrayIsLeftAsItWasOrEmptyAfterAssignment)
{
    WalkAll<TCPMessageArray>({
        {"TCPMessageArray(const TCPMessageArray&)", kAsItWas, [](TCPMessageArray& a) { TCPMessageArray copy(a); }, nullptr},
        {"TCPMessageArray(TCPMessage)", kAsItWas, [](TCPMessageArray&) { TCPMessageArray made(kRecord); }, nullptr},
        {"TCPMessageArray(TCPMessage*)", kAsItWas, [](TCPMessageArray&) {
             TCPMessage record(kRecord);
             TCPMessageArray made(&record);
         }, nullptr},
        {"Add(TCPMessage)", kAsItWas, [](TCPMessageArray& a) { a.Add(kRecord); }, nullptr},
        {"Add(TCPMessage*)", kAsItWas, [](TCPMessageArray& a) { a.Add(a[0]); }, nullptr},
        {"operator=", kState, [](TCPMessageArray& a) { a = kRecords; }, ""},
        {"operator+=(const TCPMessageArray&)", kAsItWas, [](TCPMessageArray& a) { a += kRecords; }, nullptr},
        {"operator+= itself", kAsItWas, [](TCPMessageArray& a) { a += a; }, nullptr},
        {"operator+=(TCPMessage)", kAsItWas, [](TCPMessageArray& a) { a += kRecord; }, nullptr},
        {"operator+(array, array)", kAsItWas, [](TCPMessageArray& a) { TCPMessageArray sum = a + kRecords; }, nullptr},
        {"operator+(array, message)", kAsItWas, [](TCPMessageArray& a) { TCPMessageArray sum = a + kRecord; }, nullptr},
        {"operator+(message, array)", kAsItWas, [](TCPMessageArray& a) { TCPMessageArray sum = kRecord + a; }, nullptr},
        {"operator+(array, pointer)", kAsItWas, [](TCPMessageArray& a) { TCPMessageArray sum = a + a[1]; }, nullptr},
        {"operator+(pointer, array)", kAsItWas, [](TCPMessageArray& a) { TCPMessageArray sum = a[1] + a; }, nullptr},
    });
}

TEST_F(AllocationFailure, JStringArrayKeepsEveryElementWhole)
{
    WalkAll<JStringArray>({
        {"JStringArray(const JStringArray&)", kAsItWas, [](JStringArray& a) { JStringArray copy(a); }, nullptr},
        {"JStringArray(JString)", kAsItWas, [](JStringArray&) { JStringArray made(kText); }, nullptr},
        {"AddString(const char*)", kAsItWas, [](JStringArray& a) { a.AddString("pq"); }, nullptr},
        {"AddString(JString)", kAsItWas, [](JStringArray& a) { a.AddString(kText); }, nullptr},
        {"AddString(JString*)", kAsItWas, [](JStringArray& a) { a.AddString(const_cast<JString*>(&kText)); }, nullptr},
        {"Push", kAsItWas, [](JStringArray& a) { a.Push(kText); }, nullptr},
        {"Pop", kAsItWas, [](JStringArray& a) { a.Pop(); }, nullptr},
        {"GetString", kAsItWas, [](JStringArray& a) { a.GetString(); }, nullptr},
        {"ReadString", kAsItWas, [](JStringArray& a) { a.ReadString(1); }, nullptr},
        {"operator[]", kAsItWas, [](JStringArray& a) { a[1]; }, nullptr},
        {"PrintAll", Left::kLeadingPart, [](JStringArray& a) { a.PrintAll(1); }, nullptr},
        {"operator=", kState, [](JStringArray& a) { a = kLines; }, ""},
        {"operator+=(const JStringArray&)", kAsItWas, [](JStringArray& a) { a += kLines; }, nullptr},
        {"operator+= itself", kAsItWas, [](JStringArray& a) { a += a; }, nullptr},
        {"operator+=(JString)", kAsItWas, [](JStringArray& a) { a += kText; }, nullptr},
        {"operator+(array, array)", kAsItWas, [](JStringArray& a) { JStringArray sum = a + kLines; }, nullptr},
        {"operator+(array, JString)", kAsItWas, [](JStringArray& a) { JStringArray sum = a + kText; }, nullptr},
        {"operator+(JString, array)", kAsItWas, [](JStringArray& a) { JStringArray sum = kText + a; }, nullptr},
        {"FindString", kAsItWas, [](JStringArray& a) { a.FindString(kText); }, nullptr},
        {"FindStringinString", kAsItWas, [](JStringArray& a) { a.FindStringinString("b", 1); }, nullptr},
        {"FindStringinStringNoCase", kAsItWas, [](JStringArray& a) { a.FindStringinStringNoCase("a", 1); }, nullptr},
        {"DeleteUptoFirstChar", kEachOldOrNew, [](JStringArray& a) { a.DeleteUptoFirstChar(' ', 1); }, nullptr},
        {"Replace(char, JString)", kEachOldOrNew, [](JStringArray& a) { a.Replace(' ', kText); }, nullptr},
        {"Remove", kEachOldOrNew, [](JStringArray& a) { a.Remove(' '); }, nullptr},
        {"DeleteFind", kEachOldOrNew, [](JStringArray& a) { a.DeleteFind(' ', -1); }, nullptr},
        {"DeleteLeadingChars", kEachOldOrNew, [](JStringArray& a) { a.DeleteLeadingChars('b'); }, nullptr},
        {"DeleteTrailingChars", kEachOldOrNew, [](JStringArray& a) { a.DeleteTrailingChars('c'); }, nullptr},
        {"RemoveMultiChars", kEachOldOrNew, [](JStringArray& a) { a.RemoveMultiChars(' '); }, nullptr},
    });
}

TEST_F(AllocationFailure, JStringArraySortsWithoutAllocating)
{
    const Row<JStringArray> sorts[] = {
        {"sort_with_case", kAsItWas, [](JStringArray& a) { a.sort_with_case(); }, nullptr},
        {"sort_no_case", kAsItWas, [](JStringArray& a) { a.sort_no_case(); }, nullptr},
    };
    for (const Row<JStringArray>& row : sorts)
        EXPECT_EQ(Walk(row), 0) << row.name;
}

}  // namespace
