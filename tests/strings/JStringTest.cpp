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

// One operation on a fresh string: its result (0 for operations without one)
// and the bytes it leaves. An edit that changes nothing keeps the block.
struct Edit { const char* before; int (*op)(JString&); int result; const char* after; };

template <size_t N>
void Apply(const Edit (&edits)[N])
{
    for (const Edit& e : edits) {
        JString s(e.before);
        s.Replace('#', '\0');
        const char* block = s.GetBuffer();
        EXPECT_EQ(e.op(s), e.result) << "edit " << (&e - edits);
        EXPECT_EQ(Shown(s), e.after) << "edit " << (&e - edits);
        EXPECT_TRUE(std::string(e.before) != e.after || s.GetBuffer() == block) << "edit " << (&e - edits);
    }
}

TEST(JString, ConstructionAssignmentConcatenationAndComparison)
{
    JString inner("a#c");
    inner.Replace('#', '\0');
    const char* none = nullptr;
    const JString ab("ab");
    const std::string made[][2] = {
        {Shown(JString()), ""},          {Shown(JString('c')), "c"},     {Shown(JString('\0')), "#"},
        {Shown(JString(none)), ""},      {Shown(JString(&inner)), "a"},  {Shown(JString(inner)), "a"},
        {Shown(JString(static_cast<JString*>(nullptr))), ""},            {Shown(ab + JString("cd")), "abcd"},
        {Shown(ab + 'c'), "abc"},        {Shown('c' + ab), "cab"},       {Shown("xy" + ab), "xyab"},
        {Shown(ab + '\0'), "ab"},        {Shown(none + ab), "ab"},       {Shown(inner + "d"), "ad"},
    };
    for (const auto& m : made)
        EXPECT_EQ(m[0], m[1]) << "case " << (&m - made);

    JString s("something longer");
    s = inner;  // assignment takes the stored length and every byte
    EXPECT_EQ(Shown(s), "a#c");
    s += "";  // appending works on the C text
    EXPECT_EQ(Shown(s), "a");
    s = "prefix-ab";
    s = s.GetBuffer() + 7;
    s += JString("c");
    s += 'd';
    s += s;
    const char* block = s.GetBuffer();
    s += none;
    EXPECT_EQ(s.GetBuffer(), block);
    EXPECT_EQ(Shown(s), "abcdabcd");

    const JString a("a");
    const JString b("b");
    EXPECT_TRUE(a < b && a <= b && a != b && b > a && b >= a && !(a == b) && !(a > b) && !(b <= a));
    EXPECT_TRUE(a == "a" && "a" == a && "b" > a && b > "a" && a >= "a" && "a" <= a && a != "b");
    const int with_null[] = {a == none, a != none, a < none, a > none, a <= none, a >= none,
                             none == a, none != a, none < a, none > a, none <= a, none >= a};
    EXPECT_EQ(std::count(std::begin(with_null), std::end(with_null), 0), 12);
    EXPECT_LT(JString("B").Compare("a"), 0);  // byte order: upper case first
    EXPECT_GT(JString("B").CompareNoCase("a"), 0);
    EXPECT_EQ(JString("B").CompareNoCase("b"), 0);
}

TEST(JString, SearchesAndExtractions)
{
    const JString hello("hello");
    const JString abc("abcabc");
    const char* none = nullptr;
    JString inner("a#c");
    inner.Replace('#', '\0');
    const int found[][2] = {
        {hello.Find('l'), 2},            {hello.ReverseFind('l'), 3},        {hello.Find('z'), -1},
        {hello.Find('l', 3), 3},         {hello.Find('l', 5), -1},           {abc.Find('a', 1), 3},
        {hello.Find(""), 0},             {hello.Find(none), 0},              {hello.FindNoCase(""), -1},
        {hello.FindNoCase(none), -1},    {hello.FindNoCase('L', 0), 2},      {abc.FindNoCase("BC", 2), 4},
        {abc.Find("bc", 2), 4},          {inner.Find('c'), 2},               {inner.Find("c"), -1},
        {JString("Hi All").FindNoCase("aLL"), 3}, {JString().IsAllWhiteSpace(), 1},
        {JString(" \t\r\n").IsAllWhiteSpace(), 1}, {JString(" a ").IsAllWhiteSpace(), 0},
        {JString("\v").IsAllWhiteSpace(), 0},
    };
    for (const auto& f : found)
        EXPECT_EQ(f[0], f[1]) << "search " << (&f - found);

    const JString line("  alpha\t beta   gamma\t");
    const std::string pieces[][2] = {
        {Shown(hello.Mid(1)), "ello"},          {Shown(hello.Mid(5)), ""},         {Shown(hello.Mid(-1)), ""},
        {Shown(hello.Mid(1, 3)), "ell"},        {Shown(hello.Mid(3, 10)), "lo"},   {Shown(hello.Left(2)), "he"},
        {Shown(hello.Left(9)), "hello"},        {Shown(hello.Left(0)), ""},        {Shown(hello.Right(3)), "llo"},
        {Shown(hello.Right(-2)), ""},           {Shown(hello.Right(9)), "hello"},  {Shown(inner.Left(3)), "a"},
        {Shown(line.ExtractWord(1)), "alpha"},  {Shown(line.ExtractWord(3)), "gamma"},
        {Shown(line.ExtractWord(4)), ""},       {Shown(line.ExtractWord(0)), "alpha beta gamma"},
        {Shown(JString("a\nb c").ExtractWord(1)), "a\nb"},
    };
    for (const auto& p : pieces)
        EXPECT_EQ(p[0], p[1]) << "extraction " << (&p - pieces);
}

TEST(JString, DeletionAndStripping)
{
    Apply({
        {"hello", [](JString& s) { return s.Delete(1, 2); }, 3, "hlo"},
        {"hello", [](JString& s) { return s.Delete(3, -1); }, 3, "hel"},
        {"hello", [](JString& s) { return s.Delete(0, 0) + s.Delete(4, 2) + s.Delete(5, 1); }, -3, "hello"},
        {"hello", [](JString& s) { return s.Delete(-1, 1) + s.Delete(0, -2) + s.Delete(1, INT_MAX); }, -3, "hello"},
        {"hello", [](JString& s) { return s.Remove('l'); }, 3, "heo"},
        {"hello", [](JString& s) { return s.Remove('z'); }, 5, "hello"},
        {"key=value", [](JString& s) { return s.DeleteUptoFirstChar('=', 1); }, 5, "value"},
        {"key=value", [](JString& s) { return s.DeleteUptoFirstChar('=', 0); }, 6, "=value"},
        {"=x", [](JString& s) { return s.DeleteUptoFirstChar('!', 1) + s.DeleteUptoFirstChar('=', 0); }, -2, "=x"},
        {"a   b  c", [](JString& s) { return s.RemoveMultiChars(' '); }, 3, "a b c"},
        {" \t x \r\n", [](JString& s) { s.DeleteLeadingWhiteSpace(); return 0; }, 0, "x \r\n"},
        {" \t x \r\n", [](JString& s) { s.DeleteTrailingWhiteSpace(); return 0; }, 0, " \t x"},
        {"\v # ", [](JString& s) { s.DeleteLeadingWhiteSpace(); s.DeleteTrailingWhiteSpace(); return 0; }, 0, "\v #"},
        {"abbaXab", [](JString& s) { s.DeleteLeadingChars("ab"); s.DeleteTrailingChars("ab"); return 0; }, 0, "X"},
        {"abc", [](JString& s) { s.DeleteLeadingChars(nullptr); s.DeleteTrailingChars(""); return 0; }, 0, "abc"},
        {"xxaxx", [](JString& s) { s.DeleteLeadingChars('x'); return 0; }, 0, "axx"},
    });
}

TEST(JString, ReplacementInsertionCaseAndFormat)
{
    Apply({
        {"banana", [](JString& s) { return s.Replace('a', 'o'); }, 3, "bonono"},
        {"banana", [](JString& s) { return s.Replace('a', '\0'); }, 3, "b#n#n#"},
        {"banana", [](JString& s) { return s.Replace('a', "XY"); }, 3, "bXYnXYnXY"},
        {"banana", [](JString& s) { return s.Replace('a', "ab"); }, -1, "banana"},
        {"hello", [](JString& s) { s.Insert(2, "XY"); return 0; }, 0, "heXYllo"},
        {"hello", [](JString& s) { s.Insert(5, "!"); s.Insert(-1, "!"); return 0; }, 0, "hello"},
        {"", [](JString& s) { s.Insert(0, "x"); return 0; }, 0, ""},
        {"abc1", [](JString& s) { s.MakeUpper(); return 0; }, 0, "ABC1"},
        {"A#B1\xe9", [](JString& s) { s.MakeLower(); return 0; }, 0, "a#b1\xe9"},  // C locale: high bytes stay
        {"abc", [](JString& s) { s.Format("%d-%s-%c", 42, s.GetBuffer(), 'y'); return 0; }, 0, "42-abc-y"},
        {"old", [](JString& s) { const char* none = nullptr; s.Format(none, 0); return 0; }, 0, ""},
        {"old", [](JString& s) { s.Format("%1021s%s", "", "ab"); return s.Delete(0, 1020); }, 2, " a"},  // cut at 1022
    });
}

// What a string made from `text` writes to standard output with print or println.
std::string Printed(const char* text, bool line)
{
    JString s(text);
    s.Replace('#', '\0');
    testing::internal::CaptureStdout();
    line ? s.println() : s.print();
    return testing::internal::GetCapturedStdout();
}

TEST(JString, PrintAndPrintln)
{
    EXPECT_EQ(Printed("x%sy", false) + "|" + Printed("", false), "x%sy|");
    EXPECT_EQ(Printed("x", true) + Printed("x\n", true) + Printed("x\n\n", true), "x\nx\nx\n\n");
    EXPECT_EQ(Printed("", true) + Printed("a\n#b", true), "\na\n");  // the printed text ends in a line feed
}

}  // namespace
