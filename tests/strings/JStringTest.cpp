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

TEST(JString, ConstructionTakesTheCText)
{
    JString inner = WithNuls("a#c");
    const char* none = nullptr;
    ExpectRows<std::string>({
        {"JString()", Shown(JString()), ""},
        {"JString('c')", Shown(JString('c')), "c"},
        {"JString('\\0')", Shown(JString('\0')), "#"},
        {"JString(null text)", Shown(JString(none)), ""},
        {"JString(&\"a#c\")", Shown(JString(&inner)), "a"},
        {"JString(\"a#c\")", Shown(JString(inner)), "a"},
        {"JString(null JString*)", Shown(JString(static_cast<JString*>(nullptr))), ""},
    });
}

TEST(JString, ConcatenationJoinsTheCTexts)
{
    const JString ab("ab");
    const char* none = nullptr;
    ExpectRows<std::string>({
        {"ab + \"cd\"", Shown(ab + JString("cd")), "abcd"},
        {"ab + 'c'", Shown(ab + 'c'), "abc"},
        {"'c' + ab", Shown('c' + ab), "cab"},
        {"\"xy\" + ab", Shown("xy" + ab), "xyab"},
        {"ab + '\\0'", Shown(ab + '\0'), "ab"},
        {"null + ab", Shown(none + ab), "ab"},
        {"\"a#c\" + \"d\"", Shown(WithNuls("a#c") + "d"), "ad"},
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

TEST(JString, ComparisonOperatorsFollowStrcmpInEveryForm)
{
    const struct { const char* x; const char* y; int sign; } pairs[] = {{"a", "b", -1}, {"a", "a", 0}, {"b", "a", 1}};
    for (const auto& p : pairs) {
        SCOPED_TRACE(testing::Message() << p.x << " against " << p.y);
        ExpectOrder(JString(p.x), JString(p.y), p.sign);
        ExpectOrder(JString(p.x), p.y, p.sign);
        ExpectOrder(p.x, JString(p.y), p.sign);
    }
}

TEST(JString, EveryComparisonWithANullTextIsFalse)
{
    const JString a("a");
    const char* none = nullptr;
    ExpectOrder(a, none, 0, false);
    ExpectOrder(none, a, 0, false);
}

TEST(JString, CompareGoesByBytesCompareNoCaseIgnoresCase)
{
    EXPECT_LT(JString("B").Compare("a"), 0);  // byte order: upper case first
    EXPECT_EQ(JString("a").Compare("a"), 0);
    EXPECT_GT(JString("b").Compare("a"), 0);
    EXPECT_GT(JString("B").CompareNoCase("a"), 0);
    EXPECT_EQ(JString("B").CompareNoCase("b"), 0);
    EXPECT_LT(JString("A").CompareNoCase("b"), 0);
}

TEST(JString, SearchesFromAStartInsideTheText)
{
    const JString hello("hello");
    const JString abc("abcabc");
    const char* none = nullptr;
    const JString inner = WithNuls("a#c");
    ExpectRows<int>({
        {"hello.Find('l')", hello.Find('l'), 2},           {"hello.ReverseFind('l')", hello.ReverseFind('l'), 3},
        {"hello.Find('z')", hello.Find('z'), -1},          {"hello.Find('o', 3)", hello.Find('o', 3), 4},
        {"hello.Find('o', 4)", hello.Find('o', 4), 4},     {"hello.Find('o', 5)", hello.Find('o', 5), -1},
        {"hello.Find('h', 0)", hello.Find('h', 0), 0},     {"hello.Find('h', -1)", hello.Find('h', -1), -1},
        {"abc.Find('a', 1)", abc.Find('a', 1), 3},         {"abc.Find(\"bc\", 2)", abc.Find("bc", 2), 4},
        {"hello.Find(\"o\", 4)", hello.Find("o", 4), 4},   {"hello.Find(\"o\", 5)", hello.Find("o", 5), -1},
        {"hello.Find(\"\")", hello.Find(""), 0},           {"hello.Find(null)", hello.Find(none), 0},
        {"hello.FindNoCase(\"\")", hello.FindNoCase(""), -1},
        {"hello.FindNoCase(null)", hello.FindNoCase(none), -1},
        {"hello.FindNoCase('L', 0)", hello.FindNoCase('L', 0), 2},
        {"hello.FindNoCase('O', 4)", hello.FindNoCase('O', 4), 4},
        {"hello.FindNoCase('O', 5)", hello.FindNoCase('O', 5), -1},
        {"abc.FindNoCase(\"BC\", 2)", abc.FindNoCase("BC", 2), 4},
        {"\"Hi All\".FindNoCase(\"aLL\")", JString("Hi All").FindNoCase("aLL"), 3},
        {"\"a#c\".Find('c')", inner.Find('c'), 2},         {"\"a#c\".Find(\"c\")", inner.Find("c"), -1},
    });
}

TEST(JString, IsAllWhiteSpaceKnowsFourCharacters)
{
    ExpectRows<int>({
        {"\"\"", JString().IsAllWhiteSpace(), 1},          {"\" \\t\\r\\n\"", JString(" \t\r\n").IsAllWhiteSpace(), 1},
        {"\" a \"", JString(" a ").IsAllWhiteSpace(), 0},  {"\"\\v\"", JString("\v").IsAllWhiteSpace(), 0},
    });
}

TEST(JString, ExtractionsCutAtTheEnds)
{
    const JString hello("hello");
    ExpectRows<std::string>({
        {"Mid(0)", Shown(hello.Mid(0)), "hello"},     {"Mid(4)", Shown(hello.Mid(4)), "o"},
        {"Mid(5)", Shown(hello.Mid(5)), ""},          {"Mid(-1)", Shown(hello.Mid(-1)), ""},
        {"Mid(1, 3)", Shown(hello.Mid(1, 3)), "ell"}, {"Mid(3, 1)", Shown(hello.Mid(3, 1)), "l"},
        {"Mid(3, 2)", Shown(hello.Mid(3, 2)), "lo"},  {"Mid(3, 3)", Shown(hello.Mid(3, 3)), "lo"},
        {"Left(0)", Shown(hello.Left(0)), ""},        {"Left(1)", Shown(hello.Left(1)), "h"},
        {"Left(4)", Shown(hello.Left(4)), "hell"},    {"Left(5)", Shown(hello.Left(5)), "hello"},
        {"Left(6)", Shown(hello.Left(6)), "hello"},   {"Right(-1)", Shown(hello.Right(-1)), ""},
        {"Right(0)", Shown(hello.Right(0)), ""},      {"Right(1)", Shown(hello.Right(1)), "o"},
        {"Right(4)", Shown(hello.Right(4)), "ello"},  {"Right(5)", Shown(hello.Right(5)), "hello"},
        {"Right(6)", Shown(hello.Right(6)), "hello"},
        {"\"a#c\".Left(3)", Shown(WithNuls("a#c").Left(3)), "a"},
    });
}

TEST(JString, ExtractWordCountsWordsFromOne)
{
    const JString line("  alpha\t beta   gamma\t");
    ExpectRows<std::string>({
        {"ExtractWord(0)", Shown(line.ExtractWord(0)), "alpha beta gamma"},
        {"ExtractWord(1)", Shown(line.ExtractWord(1)), "alpha"},
        {"ExtractWord(3)", Shown(line.ExtractWord(3)), "gamma"},
        {"ExtractWord(4)", Shown(line.ExtractWord(4)), ""},
        {"\"a\\nb c\".ExtractWord(1)", Shown(JString("a\nb c").ExtractWord(1)), "a\nb"},
    });
}

TEST(JString, DeleteRefusesRangesOutsideTheText)
{
    Apply({
        {"hello", "Delete(1, 2)", [](JString& s) { return s.Delete(1, 2); }, 3, "hlo"},
        {"hello", "Delete(3, -1)", [](JString& s) { return s.Delete(3, -1); }, 3, "hel"},
        {"hello", "Delete(3, 2)", [](JString& s) { return s.Delete(3, 2); }, 3, "hel"},
        {"hello", "Delete(4, 1)", [](JString& s) { return s.Delete(4, 1); }, 4, "hell"},
        {"hello", "Delete(4, 2)", [](JString& s) { return s.Delete(4, 2); }, -1, "hello"},
        {"hello", "Delete(5, 1)", [](JString& s) { return s.Delete(5, 1); }, -1, "hello"},
        {"hello", "Delete(0, 0)", [](JString& s) { return s.Delete(0, 0); }, -1, "hello"},
        {"hello", "Delete(0, -2)", [](JString& s) { return s.Delete(0, -2); }, -1, "hello"},
        {"hello", "Delete(-1, 1)", [](JString& s) { return s.Delete(-1, 1); }, -1, "hello"},
        {"hello", "Delete(1, INT_MAX)", [](JString& s) { return s.Delete(1, INT_MAX); }, -1, "hello"},
    });
}

TEST(JString, RemovalsAndCollapsing)
{
    Apply({
        {"hello", "Remove('l')", [](JString& s) { return s.Remove('l'); }, 3, "heo"},
        {"hello", "Remove('z')", [](JString& s) { return s.Remove('z'); }, 5, "hello"},
        {"key=value", "DeleteUptoFirstChar('=', 1)", [](JString& s) { return s.DeleteUptoFirstChar('=', 1); }, 5, "value"},
        {"key=value", "DeleteUptoFirstChar('=', 0)", [](JString& s) { return s.DeleteUptoFirstChar('=', 0); }, 6, "=value"},
        {"=x", "DeleteUptoFirstChar('!', 1)", [](JString& s) { return s.DeleteUptoFirstChar('!', 1); }, -1, "=x"},
        {"=x", "DeleteUptoFirstChar('=', 0)", [](JString& s) { return s.DeleteUptoFirstChar('=', 0); }, -1, "=x"},
        {"a   b  c", "RemoveMultiChars(' ')", [](JString& s) { return s.RemoveMultiChars(' '); }, 3, "a b c"},
    });
}

TEST(JString, StrippingStopsAtTheFirstCharacterOutsideTheSet)
{
    Apply({
        {" \t x \r\n", "DeleteLeadingWhiteSpace", [](JString& s) { s.DeleteLeadingWhiteSpace(); return 0; }, 0, "x \r\n"},
        {" \t x \r\n", "DeleteTrailingWhiteSpace", [](JString& s) { s.DeleteTrailingWhiteSpace(); return 0; }, 0, " \t x"},
        {"\v # ", "DeleteLeadingWhiteSpace", [](JString& s) { s.DeleteLeadingWhiteSpace(); return 0; }, 0, "\v # "},
        {"\v # ", "DeleteTrailingWhiteSpace", [](JString& s) { s.DeleteTrailingWhiteSpace(); return 0; }, 0, "\v #"},
        {"abbaXab", "DeleteLeadingChars(\"ab\")", [](JString& s) { s.DeleteLeadingChars("ab"); return 0; }, 0, "Xab"},
        {"abbaXab", "DeleteTrailingChars(\"ab\")", [](JString& s) { s.DeleteTrailingChars("ab"); return 0; }, 0, "abbaX"},
        {"abc", "DeleteLeadingChars(null)", [](JString& s) { s.DeleteLeadingChars(nullptr); return 0; }, 0, "abc"},
        {"abc", "DeleteTrailingChars(\"\")", [](JString& s) { s.DeleteTrailingChars(""); return 0; }, 0, "abc"},
        {"xxaxx", "DeleteLeadingChars('x')", [](JString& s) { s.DeleteLeadingChars('x'); return 0; }, 0, "axx"},
        {"xxaxx", "DeleteTrailingChars('x')", [](JString& s) { s.DeleteTrailingChars('x'); return 0; }, 0, "xxa"},
    });
}

TEST(JString, ReplacementAndInsertion)
{
    Apply({
        {"banana", "Replace('a', 'o')", [](JString& s) { return s.Replace('a', 'o'); }, 3, "bonono"},
        {"banana", "Replace('a', '\\0')", [](JString& s) { return s.Replace('a', '\0'); }, 3, "b#n#n#"},
        {"banana", "Replace('a', \"XY\")", [](JString& s) { return s.Replace('a', "XY"); }, 3, "bXYnXYnXY"},
        {"banana", "Replace('a', \"ab\")", [](JString& s) { return s.Replace('a', "ab"); }, -1, "banana"},
        {"hello", "Insert(2, \"XY\")", [](JString& s) { s.Insert(2, "XY"); return 0; }, 0, "heXYllo"},
        {"hello", "Insert(0, \"XY\")", [](JString& s) { s.Insert(0, "XY"); return 0; }, 0, "XYhello"},
        {"hello", "Insert(4, \"!\")", [](JString& s) { s.Insert(4, "!"); return 0; }, 0, "hell!o"},
        {"hello", "Insert(5, \"!\")", [](JString& s) { s.Insert(5, "!"); return 0; }, 0, "hello"},
        {"hello", "Insert(-1, \"!\")", [](JString& s) { s.Insert(-1, "!"); return 0; }, 0, "hello"},
        {"", "Insert(0, \"x\")", [](JString& s) { s.Insert(0, "x"); return 0; }, 0, ""},
    });
}

TEST(JString, CaseAndFormat)
{
    Apply({
        {"abc1", "MakeUpper", [](JString& s) { s.MakeUpper(); return 0; }, 0, "ABC1"},
        {"A#B1\xe9", "MakeLower", [](JString& s) { s.MakeLower(); return 0; }, 0, "a#b1\xe9"},  // C locale: high bytes stay
        {"abc", "Format own text", [](JString& s) { s.Format("%d-%s-%c", 42, s.GetBuffer(), 'y'); return 0; }, 0, "42-abc-y"},
        {"old", "Format(null)", [](JString& s) { const char* none = nullptr; s.Format(none, 0); return 0; }, 0, ""},
    });
}

TEST(JString, FormatKeepsAtMost1022Characters)
{
    for (int width : {1021, 1022, 1023}) {
        SCOPED_TRACE(width);
        JString s;
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
