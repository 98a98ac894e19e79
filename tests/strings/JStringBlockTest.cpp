// SPDX-License-Identifier: MIT
// JString blocks: exactly length + 1 bytes, one new block per edit, nothing leaked, and the string
// without text that a failed allocation leaves. The array allocator (at the end) counts and fails blocks.
#include <fieldkit/strings/JString.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

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
    const struct { int (*op)(JString&); int result; long blocks; int length; } edits[] = {
        {[](JString& s) { return s.Remove('b'); }, 3000, 1, 3000},
        {[](JString& s) { return s.RemoveMultiChars(' '); }, 1000, 1, 2000},
        {[](JString& s) { return s.Replace('a', JString("XY")); }, 1000, 2, 3000},  // the argument and the text
        {[](JString& s) { s.MakeLower(); s.MakeUpper(); return s.Replace(' ', '_'); }, 1000, 0, 3000},
        {[](JString& s) { return s.FindNoCase("y_x", 1) + s.ExtractWord(1).GetLength(); }, 1 + 3000, -1, 3000},
        {[](JString& s) { s.DeleteTrailingChars("_XY"); return 0; }, 0, 1, 0},
        {[](JString& s) { s.Format("%d", 123456); return 0; }, 0, 1, 6},
    };
    for (const auto& e : edits) {
        SCOPED_TRACE(&e - edits);
        const long allocated_before = allocated, live_before = live;
        EXPECT_EQ(e.op(s), e.result);
        EXPECT_EQ(s.GetLength(), e.length);
        EXPECT_TRUE(e.blocks < 0 || allocated - allocated_before == e.blocks) << allocated - allocated_before;
        EXPECT_TRUE(e.blocks <= 0 || last_size == static_cast<size_t>(e.length) + 1) << last_size;
        EXPECT_EQ(live, live_before);
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
    ASSERT_TRUE(s.GetBuffer() == nullptr && s.GetLength() == 3);  // the old length stays

    const JString other("abc");
    const std::vector<int> minus_one{s.Find('a'), s.Find('a', 0), s.Find(""), s.Find(other), s.FindNoCase("a"),
        s.FindNoCase('a', 0), s.FindNoCase("a", 0), s.ReverseFind('a'), s.Compare(other), s.CompareNoCase(other),
        s.Replace('a', 'b'), s.Replace('x', "x"), s.Delete(0, 1), s.Remove('a'), s.DeleteUptoFirstChar('a', 1)};
    EXPECT_EQ(minus_one, std::vector<int>(minus_one.size(), -1));
    const std::vector<int> zero{s == other, s != other, s < other, s >= other, other == s, other != s, other > s,
        other <= s, s == "abc", "abc" != s, s.Replace('a', "x"), s.RemoveMultiChars('a'), s.IsAllWhiteSpace()};
    EXPECT_EQ(zero, std::vector<int>(zero.size(), 0));
    for (const JString& piece : {s.Mid(0), s.Left(1), s.Right(1), s.ExtractWord(0), s.ExtractWord(1), JString(s)})
        EXPECT_STREQ(piece.GetBuffer(), "");
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
