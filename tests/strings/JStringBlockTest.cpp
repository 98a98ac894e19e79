// SPDX-License-Identifier: MIT
// JString blocks: length + 1 bytes, one new block per edit, no leaks, and the string without text that a
// failed allocation leaves. The array allocator (at the end) counts and fails blocks.
#include <fieldkit/strings/JString.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

namespace {

long allocated = 0;    // operator new[] calls
long live = 0;         // allocated minus released
size_t last_size = 0;  // bytes asked by the latest operator new[]
int fail_in = 0;       // > 0: that many calls from now, the call fails

TEST(JStringBlocks, OneExactBlockPerEditAndNoLeaks)
{
    JString s;
    for (int i = 0; i < 1000; ++i)
        s += "ab  ";
    EXPECT_EQ(last_size, 4001u);
    // Each edit: its result, the new blocks it allocates (-1: any number) and the length it leaves.
    const struct { const char* what; int (*op)(JString&); int result; long blocks; int length; } edits[] = {
        {"Remove('b')", [](JString& s) { return s.Remove('b'); }, 3000, 1, 3000},
        {"RemoveMultiChars(' ')", [](JString& s) { return s.RemoveMultiChars(' '); }, 1000, 1, 2000},
        {"Replace('a', \"XY\")", [](JString& s) { return s.Replace('a', JString("XY")); }, 1000, 2, 3000},  // argument, text
        {"case and Replace in place", [](JString& s) { s.MakeLower(); s.MakeUpper(); return s.Replace(' ', '_'); }, 1000, 0, 3000},
        {"searches", [](JString& s) { return s.FindNoCase("y_x", 1) + s.ExtractWord(1).GetLength(); }, 1 + 3000, -1, 3000},
        {"DeleteTrailingChars", [](JString& s) { s.DeleteTrailingChars("_XY"); return 0; }, 0, 1, 0},
        {"Format", [](JString& s) { s.Format("%d", 123456); return 0; }, 0, 1, 6},
    };
    for (const auto& e : edits) {
        SCOPED_TRACE(e.what);
        const long allocated_before = allocated, live_before = live;
        EXPECT_EQ(e.op(s), e.result);
        EXPECT_EQ(s.GetLength(), e.length);
        EXPECT_EQ(live, live_before);
        if (e.blocks >= 0) {
            EXPECT_EQ(allocated - allocated_before, e.blocks);
        }
        if (e.blocks > 0) {
            EXPECT_EQ(last_size, static_cast<size_t>(e.length) + 1);
        }
    }
}

TEST(JStringBlocks, FailedAllocationLeavesAStringWithoutTextThatRefuses)
{
    JString s("abc");
    fail_in = 1;
    EXPECT_THROW(s += "def", std::bad_alloc);  // the sum is built before the old block goes
    EXPECT_STREQ(s.GetBuffer(), "abc");
    fail_in = 1;
    EXPECT_THROW(s = "replacement", std::bad_alloc);
    ASSERT_EQ(s.GetBuffer(), nullptr);
    EXPECT_EQ(s.GetLength(), 3);  // the old length stays

    const JString other("abc");
    const struct { const char* what; int got; int want; } refusals[] = {
        {"Find('a')", s.Find('a'), -1}, {"Find('a', 0)", s.Find('a', 0), -1}, {"Find(\"\")", s.Find(""), -1},
        {"Find(JString)", s.Find(other), -1}, {"FindNoCase(\"a\")", s.FindNoCase("a"), -1},
        {"FindNoCase('a', 0)", s.FindNoCase('a', 0), -1}, {"FindNoCase(\"a\", 0)", s.FindNoCase("a", 0), -1},
        {"ReverseFind", s.ReverseFind('a'), -1}, {"Compare", s.Compare(other), -1},
        {"CompareNoCase", s.CompareNoCase(other), -1}, {"Replace('a', 'b')", s.Replace('a', 'b'), -1},
        {"Replace('x', \"x\")", s.Replace('x', "x"), -1}, {"Delete", s.Delete(0, 1), -1},
        {"Remove", s.Remove('a'), -1}, {"DeleteUptoFirstChar", s.DeleteUptoFirstChar('a', 1), -1},
        {"s == other", s == other, 0}, {"s != other", s != other, 0}, {"s < other", s < other, 0},
        {"s >= other", s >= other, 0}, {"other == s", other == s, 0}, {"other != s", other != s, 0},
        {"other > s", other > s, 0}, {"other <= s", other <= s, 0}, {"s == \"abc\"", s == "abc", 0},
        {"\"abc\" != s", "abc" != s, 0}, {"Replace('a', \"x\")", s.Replace('a', "x"), 0},
        {"RemoveMultiChars", s.RemoveMultiChars('a'), 0}, {"IsAllWhiteSpace", s.IsAllWhiteSpace(), 0},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.got, r.want);
    }
    const struct { const char* what; JString piece; } pieces[] = {{"Mid(0)", s.Mid(0)}, {"Left(1)", s.Left(1)},
        {"Right(1)", s.Right(1)}, {"ExtractWord(0)", s.ExtractWord(0)}, {"ExtractWord(1)", s.ExtractWord(1)},
        {"JString(s)", JString(s)}};
    for (const auto& p : pieces) {
        SCOPED_TRACE(p.what);
        EXPECT_STREQ(p.piece.GetBuffer(), "");
    }
    EXPECT_STREQ((other + s).GetBuffer(), "abc");
    s.Insert(0, "x");
    s.DeleteTrailingWhiteSpace();
    s.MakeUpper();
    testing::internal::CaptureStdout();
    s.println();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_STREQ((JString("t") = s).GetBuffer(), "");
    s += "tail";
    EXPECT_STREQ(s.GetBuffer(), "tail");
}

}  // namespace

void* operator new[](size_t size)
{
    void* p = fail_in > 0 && --fail_in == 0 ? nullptr : std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    ++allocated;
    ++live;
    last_size = size;
    return p;
}

void operator delete[](void* p) noexcept { live -= p != nullptr; std::free(p); }
void operator delete[](void* p, size_t) noexcept { operator delete[](p); }
