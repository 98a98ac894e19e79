// SPDX-License-Identifier: MIT
// JString blocks: length + 1 bytes, one new block per edit, no leaks, and the string without text that a
// failed allocation leaves. The program allocates through support/FailingAllocator.cpp.
#include <fieldkit/strings/JString.h>

#include "support/FailingAllocator.h"

#include <gtest/gtest.h>

#include <new>

namespace {

// Catches an edit that allocates a block of the wrong size, a second block, or leaks the old one.
TEST(JStringBlocks, OneExactBlockPerEditAndNoLeaks)
{
    JString s;
    for (int i = 0; i < 1000; ++i)
        s += "ab  ";
    EXPECT_EQ(fktest::LastSize(), 4001u);
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
        const long allocated_before = fktest::Allocations(), live_before = fktest::LiveBlocks();
        EXPECT_EQ(e.op(s), e.result);
        EXPECT_EQ(s.GetLength(), e.length);
        EXPECT_EQ(fktest::LiveBlocks(), live_before);
        if (e.blocks >= 0) {
            EXPECT_EQ(fktest::Allocations() - allocated_before, e.blocks);
        }
        if (e.blocks > 0) {
            EXPECT_EQ(fktest::LastSize(), static_cast<size_t>(e.length) + 1);
        }
    }
}

// Catches an operation that reads the missing block (a dropped guard crashes here) or gives it text.
TEST(JStringBlocks, StringWithoutTextIsLeftAlone)
{
    JString s("abc");
    fktest::FailAllocation(1);
    EXPECT_THROW(s = "replacement", std::bad_alloc);
    ASSERT_TRUE(fktest::Disarm());
    ASSERT_EQ(s.GetBuffer(), nullptr);
    const JString other("abc");
    s.Find('a'), s.Find('a', 0), s.Find(""), s.Find(other), s.FindNoCase("a"), s.FindNoCase('a', 0);
    s.FindNoCase("a", 0), s.ReverseFind('a'), s.Compare(other), s.CompareNoCase(other), s.IsAllWhiteSpace();
    (void)(s == other), (void)(other < s), (void)(s == "abc"), (void)(other + s);
    s.Mid(0), s.Left(1), s.Right(1), s.ExtractWord(0), s.ExtractWord(1), JString{s};
    s.Replace('a', 'b'), s.Replace('x', "x"), s.Replace('a', "x"), s.Delete(0, 1), s.Remove('a');
    s.DeleteUptoFirstChar('a', 1), s.RemoveMultiChars('a'), s.Insert(0, "x"), s.DeleteTrailingWhiteSpace();
    s.MakeUpper(), s.print();
    EXPECT_EQ(s.GetBuffer(), nullptr);
}

}  // namespace
