// JString block ownership: exact block sizes, one new block per edit, nothing
// leaked, and the string without text that a failed allocation leaves behind.
// This program replaces the global array allocator to count and fail blocks.
#include <fieldkit/strings/JString.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

namespace {

struct ArrayBlocks {
    long allocated = 0;    // operator new[] calls
    long live = 0;         // allocated minus released
    size_t last_size = 0;  // bytes asked by the latest operator new[]
    int fail_in = 0;       // > 0: that many calls from now, the call fails
};
ArrayBlocks blocks;

}  // namespace

void* operator new[](size_t size)
{
    if (blocks.fail_in > 0 && --blocks.fail_in == 0)
        throw std::bad_alloc();
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    ++blocks.allocated;
    ++blocks.live;
    blocks.last_size = size;
    return p;
}

void operator delete[](void* p) noexcept
{
    if (p)
        --blocks.live;
    std::free(p);
}

void operator delete[](void* p, size_t) noexcept
{
    operator delete[](p);
}

namespace {

// Counts the blocks an operation allocates and checks that it leaks none.
class BlockCount {
public:
    BlockCount() : allocated_(blocks.allocated), live_(blocks.live) {}
    long Allocated() const { return blocks.allocated - allocated_; }
    long Kept() const { return blocks.live - live_; }

private:
    long allocated_;
    long live_;
};

JString Long(const std::string& unit, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += unit;
    return JString(text.c_str());
}

// A string without text: an assignment releases the block, then fails.
void LoseText(JString& s)
{
    const JString source("replacement");
    blocks.fail_in = 1;
    EXPECT_THROW(s = source, std::bad_alloc);
    blocks.fail_in = 0;
}

TEST(JStringBlocks, EveryBlockIsExactlyLengthPlusOne)
{
    BlockCount count;
    {
        JString s("abc");
        EXPECT_EQ(blocks.last_size, 4u);
        s += "de";
        EXPECT_EQ(blocks.last_size, 6u);
        s.Delete(0, 1);
        EXPECT_EQ(blocks.last_size, 5u);
        s.Format("%d", 123456);
        EXPECT_EQ(blocks.last_size, 7u);
        s = JString('\0');
        EXPECT_EQ(blocks.last_size, 2u);
    }
    EXPECT_EQ(count.Kept(), 0);
}

TEST(JStringBlocks, EditsInstallOneNewBlockAndReleaseTheOld)
{
    JString s = Long("ab ", 2000);
    {
        BlockCount count;
        EXPECT_EQ(s.Remove('b'), 4000);
        EXPECT_EQ(count.Allocated(), 1);
        EXPECT_EQ(count.Kept(), 0);
        EXPECT_EQ(blocks.last_size, 4001u);
    }
    {
        const JString with("XYZ");
        BlockCount count;
        EXPECT_EQ(s.Replace('a', with), 2000);  // the copy of `with`, then the new text
        EXPECT_LE(count.Allocated(), 2);
        EXPECT_EQ(count.Kept(), 0);
        EXPECT_EQ(s.GetLength(), 8000);
    }
    {
        s.Replace('Z', ' ');
        BlockCount count;
        EXPECT_EQ(s.RemoveMultiChars(' '), 2000);
        EXPECT_EQ(count.Allocated(), 1);
        EXPECT_EQ(count.Kept(), 0);
    }
    {
        JString blank = Long(" \t\r\n", 1000);
        blank += "x";
        blank += Long(" \t\r\n", 1000);
        BlockCount count;
        blank.DeleteLeadingWhiteSpace();
        blank.DeleteTrailingWhiteSpace();
        EXPECT_EQ(count.Allocated(), 2);
        EXPECT_EQ(count.Kept(), 0);
        EXPECT_STREQ(blank.GetBuffer(), "x");
    }
}

TEST(JStringBlocks, InPlaceRewritesAllocateNothing)
{
    JString s("Hello");
    BlockCount count;
    s.MakeUpper();
    s.MakeLower();
    s.Replace('l', 'L');
    EXPECT_EQ(count.Allocated(), 0);
    EXPECT_STREQ(s.GetBuffer(), "heLLo");
}

TEST(JStringBlocks, SearchesAndExtractionsLeakNothing)
{
    BlockCount count;
    {
        const JString s("Alpha Beta Gamma");
        EXPECT_EQ(s.FindNoCase("beta"), 6);
        EXPECT_EQ(s.FindNoCase("GAMMA", 3), 11);
        EXPECT_STREQ(s.ExtractWord(2).GetBuffer(), "Beta");
        EXPECT_STREQ(s.Mid(6, 4).GetBuffer(), "Beta");
        EXPECT_GT(s.Compare(JString("Alpha")), 0);
    }
    EXPECT_EQ(count.Kept(), 0);
}

TEST(JStringNoText, FailedAssignmentLeavesNoTextAndTheOldLength)
{
    JString s("abc");
    LoseText(s);
    EXPECT_EQ(s.GetBuffer(), nullptr);
    EXPECT_EQ(s.GetLength(), 3);
    s = "again";  // usable again
    EXPECT_STREQ(s.GetBuffer(), "again");
}

TEST(JStringNoText, FailedFormatLeavesNoText)
{
    JString s("abc");
    blocks.fail_in = 1;
    EXPECT_THROW(s.Format("%s", "xyz"), std::bad_alloc);
    blocks.fail_in = 0;
    EXPECT_EQ(s.GetBuffer(), nullptr);
}

TEST(JStringNoText, FailedAppendKeepsTheReceiver)
{
    // The sum is built before the old block goes.
    JString s("abc");
    blocks.fail_in = 1;
    EXPECT_THROW(s += "def", std::bad_alloc);
    blocks.fail_in = 0;
    EXPECT_STREQ(s.GetBuffer(), "abc");
}

TEST(JStringNoText, SearchesAndExtractionsRefuse)
{
    JString s("abc");
    LoseText(s);
    EXPECT_EQ(s.Find('a'), -1);
    EXPECT_EQ(s.Find('a', 0), -1);
    EXPECT_EQ(s.Find("a"), -1);
    EXPECT_EQ(s.Find("", 0), -1);
    EXPECT_EQ(s.Find(JString("a")), -1);
    EXPECT_EQ(s.FindNoCase("a"), -1);
    EXPECT_EQ(s.FindNoCase(JString("a")), -1);
    EXPECT_EQ(s.FindNoCase('a', 0), -1);
    EXPECT_EQ(s.FindNoCase("a", 0), -1);
    EXPECT_EQ(s.ReverseFind('a'), -1);
    EXPECT_EQ(s.IsAllWhiteSpace(), 0);
    const JString pieces[] = {s.Mid(0), s.Mid(0, 1), s.Left(1), s.Right(1), s.ExtractWord(1), s.ExtractWord(0)};
    for (const JString& piece : pieces) {
        ASSERT_NE(piece.GetBuffer(), nullptr);
        EXPECT_EQ(piece.GetLength(), 0);
    }
}

TEST(JStringNoText, ComparisonsAreFalseAndCompareIsMinusOne)
{
    JString s("abc");
    LoseText(s);
    const JString other("abc");
    const int results[] = {s == other, s != other, s < other, s > other, s <= other, s >= other,
                           other == s, other != s, other < s, other > s, other <= s, other >= s,
                           s == "abc", s != "abc", s < "abc", s > "abc", s <= "abc", s >= "abc",
                           "abc" == s, "abc" != s, "abc" < s, "abc" > s, "abc" <= s, "abc" >= s};
    for (int r : results)
        EXPECT_EQ(r, 0);
    EXPECT_EQ(s.Compare(other), -1);
    EXPECT_EQ(s.CompareNoCase(other), -1);
}

TEST(JStringNoText, EditsRefuseOrDoNothing)
{
    JString s("abc");
    LoseText(s);
    EXPECT_EQ(s.Replace('a', 'b'), -1);
    EXPECT_EQ(s.Replace('a', JString("x")), 0);
    EXPECT_EQ(s.Replace('x', JString("x")), -1);
    EXPECT_EQ(s.Delete(0, 1), -1);
    EXPECT_EQ(s.Remove('a'), -1);
    EXPECT_EQ(s.DeleteUptoFirstChar('a', 1), -1);
    EXPECT_EQ(s.RemoveMultiChars('a'), 0);
    s.Insert(0, "x");
    s.DeleteLeadingWhiteSpace();
    s.DeleteTrailingWhiteSpace();
    s.DeleteLeadingChars("a");
    s.DeleteLeadingChars('a');
    s.DeleteTrailingChars("a");
    s.DeleteTrailingChars('a');
    s.MakeUpper();
    s.MakeLower();
    EXPECT_EQ(s.GetBuffer(), nullptr);
    testing::internal::CaptureStdout();
    s.print();
    s.println();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(JStringNoText, CopiesAndSumsTakeTheOtherSide)
{
    JString s("abc");
    LoseText(s);
    const JString copy(s);
    EXPECT_STREQ(copy.GetBuffer(), "");
    const JString from_pointer(&s);
    EXPECT_STREQ(from_pointer.GetBuffer(), "");
    EXPECT_STREQ((s + JString("xy")).GetBuffer(), "xy");
    EXPECT_STREQ((JString("xy") + s).GetBuffer(), "xy");
    JString target("t");
    target = s;
    EXPECT_STREQ(target.GetBuffer(), "");
    EXPECT_EQ(target.GetLength(), 0);
    s += "tail";
    EXPECT_STREQ(s.GetBuffer(), "tail");
    EXPECT_EQ(s.GetLength(), 4);
}

}  // namespace
