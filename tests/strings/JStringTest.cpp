// SPDX-License-Identifier: MIT
// JString against its literal model (the fuzz target's) on seeded random operation sequences and on the
// committed corpus; then fixed values at the boundaries and for what the model leaves out ('#': a NUL byte).
#include "../../fuzz/JStringDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

bool Matches(const std::vector<uint8_t>& in, std::string* why) { return JStringDriver(in.data(), in.size()).Run(why); }

TEST(JStringModel, RandomOperationSequencesMatchTheModel)
{
    std::mt19937 random(20240611u);
    std::vector<uint8_t> input(1000);
    for (int run = 0; run < 1000; ++run) {
        std::generate(input.begin(), input.end(), [&random] { return static_cast<uint8_t>(random()); });
        std::string failure;
        ASSERT_TRUE(Matches(input, &failure)) << "run " << run << ": " << failure;
    }
}

// The corpus installed beside the test programs (an on-target run), else the
// one in the source tree.
std::filesystem::path Corpus()
{
    std::error_code ignored;
    const auto installed =
        std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path() / "../data/jstring_fuzz";
    return std::filesystem::is_directory(installed, ignored) ? installed : JSTRING_FUZZ_CORPUS;
}

TEST(JStringModel, CommittedFuzzCorpusMatchesTheModel)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Corpus())) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string failure;
        EXPECT_TRUE(Matches({std::istreambuf_iterator<char>(in), {}}, &failure)) << entry.path() << failure;
        ++files;
    }
    EXPECT_GT(files, 0);
}

// The stored bytes with each NUL as '#'; the terminator must follow them.
std::string Shown(const JString& s)
{
    if (!s.GetBuffer() || s.GetBuffer()[s.GetLength()] != '\0')
        return "<no text or no terminator>";
    std::string bytes(s.GetBuffer(), static_cast<size_t>(s.GetLength()));
    std::replace(bytes.begin(), bytes.end(), '\0', '#');
    return bytes;
}

JString WithNuls(const char* text)
{
    JString s(text);
    s.Replace('#', '\0');
    return s;
}

// An edit of a fresh string made from `before`: its result (0 without one) and the bytes it leaves.
// An edit that changes nothing keeps the block.
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

TEST(JString, AssignmentAndAppendingTakeTheStringsOwnText)
{
    JString s("prefix-ab");
    s = s.GetBuffer() + 7;  // its own text
    s += JString("c");
    s += 'd';
    s += s;
    EXPECT_EQ(Shown(s), "abcdabcd");
    const char* block = s.GetBuffer();
    s += static_cast<const char*>(nullptr);
    EXPECT_EQ(s.GetBuffer(), block);
}

TEST(JString, SearchesFindTheFirstMatchFromAStartInsideTheText)
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
    for (const auto& [n, want] : {std::pair{1, "l"}, {2, "lo"}, {3, "lo"}}) {  // up to the end, not past it
        SCOPED_TRACE(testing::Message() << "Mid(3, " << n << ")");
        EXPECT_EQ(Shown(hello.Mid(3, n)), want);
    }
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

TEST(JString, EditsGiveTheirResultAndKeepTheBlockWhenNothingChanges)
{
    Apply({
        {"hello", "Remove('z')", [](JString& s) { return s.Remove('z'); }, 5, "hello"},
        {"key=value", "UptoFirst('=', 1)", [](JString& s) { return s.DeleteUptoFirstChar('=', 1); }, 5, "value"},
        {"=x", "UptoFirst('!', 1)", [](JString& s) { return s.DeleteUptoFirstChar('!', 1); }, -1, "=x"},
        {"=x", "UptoFirst('=', 0)", [](JString& s) { return s.DeleteUptoFirstChar('=', 0); }, -1, "=x"},
        {" \t x \r\n", "TrailingWhite", [](JString& s) { s.DeleteTrailingWhiteSpace(); return 0; }, 0, " \t x"},
        {"\v # ", "LeadingWhite", [](JString& s) { s.DeleteLeadingWhiteSpace(); return 0; }, 0, "\v # "},
        {"\v # ", "TrailingWhite", [](JString& s) { s.DeleteTrailingWhiteSpace(); return 0; }, 0, "\v #"},
        {"abbaXab", "Trailing(\"ab\")", [](JString& s) { s.DeleteTrailingChars("ab"); return 0; }, 0, "abbaX"},
        {"abc", "Leading(null)", [](JString& s) { s.DeleteLeadingChars(nullptr); return 0; }, 0, "abc"},
        {"abc", "Trailing(\"\")", [](JString& s) { s.DeleteTrailingChars(""); return 0; }, 0, "abc"},
        {"xxaxx", "Leading('x')", [](JString& s) { s.DeleteLeadingChars('x'); return 0; }, 0, "axx"},
        {"xxaxx", "Trailing('x')", [](JString& s) { s.DeleteTrailingChars('x'); return 0; }, 0, "xxa"},
        {"banana", "Replace('a', \"XY\")", [](JString& s) { return s.Replace('a', "XY"); }, 3, "bXYnXYnXY"},
        {"banana", "Replace('a', \"ab\")", [](JString& s) { return s.Replace('a', "ab"); }, -1, "banana"},
        {"hello", "Insert(0, \"XY\")", [](JString& s) { s.Insert(0, "XY"); return 0; }, 0, "XYhello"},
        {"hello", "Insert(4, \"!\")", [](JString& s) { s.Insert(4, "!"); return 0; }, 0, "hell!o"},
        {"hello", "Insert(5, \"!\")", [](JString& s) { s.Insert(5, "!"); return 0; }, 0, "hello"},
        {"hello", "Insert(-1, \"!\")", [](JString& s) { s.Insert(-1, "!"); return 0; }, 0, "hello"},
        {"A#B1\xe9", "MakeLower", [](JString& s) { s.MakeLower(); return 0; }, 0, "a#b1\xe9"},  // C locale
    });
}

TEST(JString, FormatReplacesTheTextWithAtMost1022Characters)
{
    JString s("abc");
    s.Format("%d-%s-%c", 42, s.GetBuffer(), 'y');  // its own text as argument
    EXPECT_EQ(Shown(s), "42-abc-y");
    for (int width : {1021, 1022, 1023}) {
        SCOPED_TRACE(width);
        s.Format("%*s", width, "ab");
        EXPECT_EQ(s.GetLength(), std::min(width, 1022));
        EXPECT_EQ(Shown(s.Right(2)), width <= 1022 ? "ab" : " a");
    }
}

TEST(JString, PrintWritesTheTextAloneAndPrintlnEndsItWithOneLineFeed)
{
    const struct { const char* text; bool line; const char* want; } prints[] = {
        {"x%sy", false, "x%sy"}, {"", false, ""}, {"x", true, "x\n"}, {"x\n", true, "x\n"},
        {"x\n\n", true, "x\n\n"}, {"", true, "\n"}, {"a\n#b", true, "a\n"}};  // the printed text ends in a line feed
    for (const auto& p : prints) {
        SCOPED_TRACE(testing::Message() << (p.line ? "println \"" : "print \"") << p.text << '"');
        JString s = WithNuls(p.text);
        testing::internal::CaptureStdout();
        p.line ? s.println() : s.print();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), p.want);
    }
}

}  // namespace
