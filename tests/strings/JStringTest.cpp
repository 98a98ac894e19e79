// SPDX-License-Identifier: MIT
// JString against its literal model (the fuzz target's) on seeded random
// operation sequences and on the committed corpus, in every preset; then fixed
// values per group of operations that pin the settled behaviours independently
// of the model. In texts here, '#' stands for a NUL byte inside the length.
#include "../../fuzz/JStringDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <initializer_list>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(JStringModel, RandomOperationSequencesMatchTheModel)
{
    std::mt19937 random(20240611u);
    std::vector<uint8_t> input(1000);
    for (int run = 0; run < 1000; ++run) {
        std::generate(input.begin(), input.end(), [&random] { return static_cast<uint8_t>(random()); });
        std::string failure;
        ASSERT_TRUE(JStringDriver(input.data(), input.size()).Run(&failure)) << "run " << run << ": " << failure;
    }
}

TEST(JStringModel, CommittedFuzzCorpusMatchesTheModel)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(JSTRING_FUZZ_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string failure;
        EXPECT_TRUE(JStringDriver(input.data(), input.size()).Run(&failure)) << entry.path() << ": " << failure;
        ++files;
    }
    EXPECT_GT(files, 0);
}

// The stored bytes with each NUL shown as '#'; the terminator must follow them.
std::string Shown(const JString& s)
{
    if (!s.GetBuffer() || s.GetBuffer()[s.GetLength()] != '\0')
        return "<no text or no terminator>";
    std::string bytes(s.GetBuffer(), static_cast<size_t>(s.GetLength()));
    std::replace(bytes.begin(), bytes.end(), '\0', '#');
    return bytes;
}

// A string whose '#' characters are NUL bytes inside its length.
JString WithNuls(const char* text)
{
    JString s(text);
    s.Replace('#', '\0');
    return s;
}

// One row of a table: the expression as written, what it gave, what it should give.
template <typename T>
struct Row {
    const char* expr;
    T got;
    T want;
};

template <typename T>
void ExpectRows(std::initializer_list<Row<T>> rows)
{
    for (const Row<T>& r : rows) {
        SCOPED_TRACE(r.expr);
        EXPECT_EQ(r.got, r.want);
    }
}

// One edit of a fresh string made from `before`: its result (0 for operations
// without one) and the bytes it leaves. An edit that changes nothing keeps the block.
struct Edit {
    const char* before;
    const char* what;
    int (*op)(JString&);
    int result;
    const char* after;
};

void Apply(std::initializer_list<Edit> edits)
{
    for (const Edit& e : edits) {
        SCOPED_TRACE(testing::Message() << e.what << " on \"" << e.before << "\"");
        JString s = WithNuls(e.before);
        const char* block = s.GetBuffer();
        EXPECT_EQ(e.op(s), e.result);
        EXPECT_EQ(Shown(s), e.after);
        if (std::string(e.before) == e.after) {
            EXPECT_EQ(s.GetBuffer(), block);
        }
    }
}

// The six comparisons of x against y agree with the sign of strcmp(x, y);
// all are false when the two are not `ordered` (a null text).
template <typename L, typename R>
void ExpectOrder(const L& x, const R& y, int sign, bool ordered = true)
{
    EXPECT_EQ(x == y, ordered && sign == 0);
    EXPECT_EQ(x != y, ordered && sign != 0);
    EXPECT_EQ(x < y, ordered && sign < 0);
    EXPECT_EQ(x > y, ordered && sign > 0);
    EXPECT_EQ(x <= y, ordered && sign <= 0);
    EXPECT_EQ(x >= y, ordered && sign >= 0);
}

TEST(JString, ConstructionAndConcatenationTakeTheCText)
{
    JString inner = WithNuls("a#c");
    const JString ab("ab");
    const char* none = nullptr;
    ExpectRows<std::string>({
        {"JString()", Shown(JString()), ""},                   {"JString('c')", Shown(JString('c')), "c"},
        {"JString('\\0')", Shown(JString('\0')), "#"},        {"JString(null text)", Shown(JString(none)), ""},
        {"JString(&\"a#c\")", Shown(JString(&inner)), "a"},   {"JString(\"a#c\")", Shown(JString(inner)), "a"},
        {"JString(null JString*)", Shown(JString(static_cast<JString*>(nullptr))), ""},
        {"ab + \"cd\"", Shown(ab + JString("cd")), "abcd"},  {"ab + 'c'", Shown(ab + 'c'), "abc"},
        {"'c' + ab", Shown('c' + ab), "cab"},                 {"\"xy\" + ab", Shown("xy" + ab), "xyab"},
        {"ab + '\\0'", Shown(ab + '\0'), "ab"},               {"null + ab", Shown(none + ab), "ab"},
        {"\"a#c\" + \"d\"", Shown(inner + "d"), "ad"},
    });
}

TEST(JString, AssignmentTakesTheStoredLengthAppendingTheCText)
{
    JString s("something longer");
    s = WithNuls("a#c");
    EXPECT_EQ(Shown(s), "a#c");
    s += "";
    EXPECT_EQ(Shown(s), "a");
    s = "prefix-ab";
    s = s.GetBuffer() + 7;  // its own text
    s += JString("c");
    s += 'd';
    s += s;
    EXPECT_EQ(Shown(s), "abcdabcd");
    const char* block = s.GetBuffer();
    s += static_cast<const char*>(nullptr);
    EXPECT_EQ(s.GetBuffer(), block);
}

TEST(JString, ComparisonsFollowStrcmpAndAreFalseAgainstANullText)
{
    const struct { const char* x; const char* y; int sign; } pairs[] = {{"a", "b", -1}, {"a", "a", 0}, {"b", "a", 1}};
    for (const auto& p : pairs) {
        SCOPED_TRACE(testing::Message() << p.x << " against " << p.y);
        ExpectOrder(JString(p.x), JString(p.y), p.sign);
        ExpectOrder(JString(p.x), p.y, p.sign);
        ExpectOrder(p.x, JString(p.y), p.sign);
    }
    const char* none = nullptr;
    ExpectOrder(JString("a"), none, 0, false);
    ExpectOrder(none, JString("a"), 0, false);
    ExpectRows<int>({
        {"\"B\".Compare(\"a\") < 0", JString("B").Compare("a") < 0, 1},  // byte order: upper case first
        {"\"B\".CompareNoCase(\"a\") > 0", JString("B").CompareNoCase("a") > 0, 1},
        {"\"B\".CompareNoCase(\"b\")", JString("B").CompareNoCase("b"), 0},
    });
}

TEST(JString, SearchesFromAStartInsideTheText)
{
    const JString hello("hello");
    const int starts[][2] = {{-1, -1}, {0, 4}, {3, 4}, {4, 4}, {5, -1}, {6, -1}};  // start, index of 'o'
    for (const auto& [start, want] : starts) {
        SCOPED_TRACE(start);
        EXPECT_EQ(hello.Find('o', start), want);
        EXPECT_EQ(hello.Find("o", start), want);
        EXPECT_EQ(hello.FindNoCase('O', start), want);
        EXPECT_EQ(hello.FindNoCase("O", start), want);
    }
}

TEST(JString, SearchesByCharacterAndText)
{
    const JString hello("hello");
    const JString abc("abcabc");
    const JString inner = WithNuls("a#c");
    const char* none = nullptr;
    ExpectRows<int>({
        {"hello.Find('l')", hello.Find('l'), 2},              {"hello.ReverseFind('l')", hello.ReverseFind('l'), 3},
        {"hello.Find('z')", hello.Find('z'), -1},             {"abc.Find('a', 1)", abc.Find('a', 1), 3},
        {"abc.Find(\"bc\", 2)", abc.Find("bc", 2), 4},        {"abc.FindNoCase(\"BC\", 2)", abc.FindNoCase("BC", 2), 4},
        {"hello.Find(\"\")", hello.Find(""), 0},              {"hello.Find(null)", hello.Find(none), 0},
        {"hello.FindNoCase(\"\")", hello.FindNoCase(""), -1}, {"hello.FindNoCase(null)", hello.FindNoCase(none), -1},
        {"\"Hi All\".FindNoCase(\"aLL\")", JString("Hi All").FindNoCase("aLL"), 3},
        {"\"a#c\".Find('c')", inner.Find('c'), 2},            {"\"a#c\".Find(\"c\")", inner.Find("c"), -1},
        {"\"\".IsAllWhiteSpace()", JString().IsAllWhiteSpace(), 1},
        {"\" \\t\\r\\n\".IsAllWhiteSpace()", JString(" \t\r\n").IsAllWhiteSpace(), 1},
        {"\" a \".IsAllWhiteSpace()", JString(" a ").IsAllWhiteSpace(), 0},
        {"\"\\v\".IsAllWhiteSpace()", JString("\v").IsAllWhiteSpace(), 0},
    });
}

TEST(JString, ExtractionsCutAtTheEnds)
{
    const JString hello("hello");
    const struct { int n; const char* left; const char* right; const char* mid; } cuts[] = {
        {-1, "", "", ""}, {0, "", "", "hello"}, {1, "h", "o", "ello"},
        {4, "hell", "ello", "o"}, {5, "hello", "hello", ""}, {6, "hello", "hello", ""},
    };
    for (const auto& c : cuts) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(Shown(hello.Left(c.n)), c.left);
        EXPECT_EQ(Shown(hello.Right(c.n)), c.right);
        EXPECT_EQ(Shown(hello.Mid(c.n)), c.mid);
    }
    const JString line("  alpha\t beta   gamma\t");
    ExpectRows<std::string>({
        {"Mid(1, 3)", Shown(hello.Mid(1, 3)), "ell"},  {"Mid(3, 1)", Shown(hello.Mid(3, 1)), "l"},
        {"Mid(3, 2)", Shown(hello.Mid(3, 2)), "lo"},   {"Mid(3, 3)", Shown(hello.Mid(3, 3)), "lo"},
        {"\"a#c\".Left(3)", Shown(WithNuls("a#c").Left(3)), "a"},
        {"ExtractWord(0)", Shown(line.ExtractWord(0)), "alpha beta gamma"},
        {"ExtractWord(1)", Shown(line.ExtractWord(1)), "alpha"},  {"ExtractWord(3)", Shown(line.ExtractWord(3)), "gamma"},
        {"ExtractWord(4)", Shown(line.ExtractWord(4)), ""},
        {"\"a\\nb c\".ExtractWord(1)", Shown(JString("a\nb c").ExtractWord(1)), "a\nb"},
    });
}

TEST(JString, DeleteRefusesRangesOutsideTheText)
{
    const struct { int pos, count, result; const char* after; } deletions[] = {
        {1, 2, 3, "hlo"},       {3, -1, 3, "hel"},     {3, 2, 3, "hel"},      {4, 1, 4, "hell"},
        {4, 2, -1, "hello"},    {5, 1, -1, "hello"},   {0, 0, -1, "hello"},   {0, -2, -1, "hello"},
        {-1, 1, -1, "hello"},   {1, INT_MAX, -1, "hello"},
    };
    for (const auto& d : deletions) {
        SCOPED_TRACE(testing::Message() << "Delete(" << d.pos << ", " << d.count << ")");
        JString s("hello");
        EXPECT_EQ(s.Delete(d.pos, d.count), d.result);
        EXPECT_EQ(Shown(s), d.after);
    }
}

TEST(JString, RemovalStrippingAndCollapsing)
{
    Apply({
        {"hello", "Remove('l')", [](JString& s) { return s.Remove('l'); }, 3, "heo"},
        {"hello", "Remove('z')", [](JString& s) { return s.Remove('z'); }, 5, "hello"},
        {"key=value", "UptoFirst('=', 1)", [](JString& s) { return s.DeleteUptoFirstChar('=', 1); }, 5, "value"},
        {"key=value", "UptoFirst('=', 0)", [](JString& s) { return s.DeleteUptoFirstChar('=', 0); }, 6, "=value"},
        {"=x", "UptoFirst('!', 1)", [](JString& s) { return s.DeleteUptoFirstChar('!', 1); }, -1, "=x"},
        {"=x", "UptoFirst('=', 0)", [](JString& s) { return s.DeleteUptoFirstChar('=', 0); }, -1, "=x"},
        {"a   b  c", "RemoveMultiChars(' ')", [](JString& s) { return s.RemoveMultiChars(' '); }, 3, "a b c"},
        {" \t x \r\n", "LeadingWhite", [](JString& s) { s.DeleteLeadingWhiteSpace(); return 0; }, 0, "x \r\n"},
        {" \t x \r\n", "TrailingWhite", [](JString& s) { s.DeleteTrailingWhiteSpace(); return 0; }, 0, " \t x"},
        {"\v # ", "LeadingWhite", [](JString& s) { s.DeleteLeadingWhiteSpace(); return 0; }, 0, "\v # "},
        {"\v # ", "TrailingWhite", [](JString& s) { s.DeleteTrailingWhiteSpace(); return 0; }, 0, "\v #"},
        {"abbaXab", "Leading(\"ab\")", [](JString& s) { s.DeleteLeadingChars("ab"); return 0; }, 0, "Xab"},
        {"abbaXab", "Trailing(\"ab\")", [](JString& s) { s.DeleteTrailingChars("ab"); return 0; }, 0, "abbaX"},
        {"abc", "Leading(null)", [](JString& s) { s.DeleteLeadingChars(nullptr); return 0; }, 0, "abc"},
        {"abc", "Trailing(\"\")", [](JString& s) { s.DeleteTrailingChars(""); return 0; }, 0, "abc"},
        {"xxaxx", "Leading('x')", [](JString& s) { s.DeleteLeadingChars('x'); return 0; }, 0, "axx"},
        {"xxaxx", "Trailing('x')", [](JString& s) { s.DeleteTrailingChars('x'); return 0; }, 0, "xxa"},
    });
}

TEST(JString, ReplacementInsertionAndCase)
{
    Apply({
        {"banana", "Replace('a', 'o')", [](JString& s) { return s.Replace('a', 'o'); }, 3, "bonono"},
        {"banana", "Replace('a', NUL)", [](JString& s) { return s.Replace('a', '\0'); }, 3, "b#n#n#"},
        {"banana", "Replace('a', \"XY\")", [](JString& s) { return s.Replace('a', "XY"); }, 3, "bXYnXYnXY"},
        {"banana", "Replace('a', \"ab\")", [](JString& s) { return s.Replace('a', "ab"); }, -1, "banana"},
        {"hello", "Insert(0, \"XY\")", [](JString& s) { s.Insert(0, "XY"); return 0; }, 0, "XYhello"},
        {"hello", "Insert(2, \"XY\")", [](JString& s) { s.Insert(2, "XY"); return 0; }, 0, "heXYllo"},
        {"hello", "Insert(4, \"!\")", [](JString& s) { s.Insert(4, "!"); return 0; }, 0, "hell!o"},
        {"hello", "Insert(5, \"!\")", [](JString& s) { s.Insert(5, "!"); return 0; }, 0, "hello"},
        {"hello", "Insert(-1, \"!\")", [](JString& s) { s.Insert(-1, "!"); return 0; }, 0, "hello"},
        {"", "Insert(0, \"x\")", [](JString& s) { s.Insert(0, "x"); return 0; }, 0, ""},
        {"abc1", "MakeUpper", [](JString& s) { s.MakeUpper(); return 0; }, 0, "ABC1"},
        {"A#B1\xe9", "MakeLower", [](JString& s) { s.MakeLower(); return 0; }, 0, "a#b1\xe9"},  // C locale
    });
}

TEST(JString, FormatReplacesTheTextWithAtMost1022Characters)
{
    JString s("abc");
    s.Format("%d-%s-%c", 42, s.GetBuffer(), 'y');  // its own text as argument
    EXPECT_EQ(Shown(s), "42-abc-y");
    const char* none = nullptr;
    s.Format(none, 0);
    EXPECT_EQ(Shown(s), "");
    for (int width : {1021, 1022, 1023}) {
        SCOPED_TRACE(width);
        s.Format("%*s", width, "ab");
        EXPECT_EQ(s.GetLength(), std::min(width, 1022));
        EXPECT_EQ(Shown(s.Right(2)), width <= 1022 ? "ab" : " a");
    }
}

// What a string made from `text` writes to standard output with print or println.
std::string Printed(const char* text, bool line)
{
    JString s = WithNuls(text);
    testing::internal::CaptureStdout();
    line ? s.println() : s.print();
    return testing::internal::GetCapturedStdout();
}

TEST(JString, PrintWritesTheTextAlone)
{
    EXPECT_EQ(Printed("x%sy", false), "x%sy");
    EXPECT_EQ(Printed("", false), "");
}

TEST(JString, PrintlnEndsTheTextWithOneLineFeed)
{
    ExpectRows<std::string>({
        {"x", Printed("x", true), "x\n"},          {"x\\n", Printed("x\n", true), "x\n"},
        {"x\\n\\n", Printed("x\n\n", true), "x\n\n"}, {"empty", Printed("", true), "\n"},
        {"a\\n#b", Printed("a\n#b", true), "a\n"},  // the printed text ends in a line feed
    });
}

}  // namespace
