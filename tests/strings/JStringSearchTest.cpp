// JString searches and extractions.
#include <fieldkit/strings/JString.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

// "a\0c" with length 3: a NUL inside the stored length.
JString WithInnerNul()
{
    JString s("abc");
    s.Replace('b', '\0');
    return s;
}

TEST(JStringFind, CharacterForwardAndBackward)
{
    const JString hello("hello");
    EXPECT_EQ(hello.Find('l'), 2);
    EXPECT_EQ(hello.ReverseFind('l'), 3);
    EXPECT_EQ(hello.Find('z'), -1);
    EXPECT_EQ(hello.ReverseFind('z'), -1);
    EXPECT_EQ(hello.Find('h'), 0);
    EXPECT_EQ(hello.ReverseFind('h'), 0);
}

TEST(JStringFind, CharacterFromAStartCountsFromTheBeginning)
{
    const JString hello("hello");
    EXPECT_EQ(hello.Find('l', 3), 3);
    EXPECT_EQ(hello.Find('l', 4), -1);
    EXPECT_EQ(hello.Find('l', 5), -1);
    EXPECT_EQ(hello.Find('l', -1), -1);
    EXPECT_EQ(hello.Find('h', INT_MIN), -1);
    EXPECT_EQ(JString("abcabc").Find('a', 1), 3);
}

TEST(JStringFind, CharacterSearchCoversTheStoredLength)
{
    const JString s = WithInnerNul();
    EXPECT_EQ(s.Find('c'), 2);
    EXPECT_EQ(s.Find('\0'), 1);
    EXPECT_EQ(s.ReverseFind('\0'), 1);
    EXPECT_EQ(JString("abc").Find('\0'), -1);  // the terminator is not searched
    EXPECT_EQ(JString('\0').Find('\0'), 0);
}

TEST(JStringFind, TextSearch)
{
    const JString hello("hello");
    EXPECT_EQ(hello.Find("ll"), 2);
    EXPECT_EQ(hello.Find("lo"), 3);
    EXPECT_EQ(hello.Find("hello!"), -1);
    EXPECT_EQ(hello.Find(""), 0);
    EXPECT_EQ(hello.Find(static_cast<const char*>(nullptr)), 0);  // the empty text
    EXPECT_EQ(hello.Find(JString("el")), 1);
    EXPECT_EQ(JString().Find(""), 0);
}

TEST(JStringFind, TextSearchFromAStart)
{
    const JString abc("abcabc");
    EXPECT_EQ(abc.Find("bc", 2), 4);
    EXPECT_EQ(abc.Find("bc", 1), 1);
    EXPECT_EQ(abc.Find("bc", 5), -1);
    EXPECT_EQ(abc.Find("", 5), 5);
    EXPECT_EQ(abc.Find("", 6), -1);
    EXPECT_EQ(abc.Find("a", -2), -1);
    EXPECT_EQ(JString().Find("", 0), -1);
}

TEST(JStringFind, TextSearchStopsAtTheFirstNul)
{
    const JString s = WithInnerNul();
    EXPECT_EQ(s.Find("c"), -1);
    EXPECT_EQ(s.Find("c", 2), 2);  // a start past the NUL searches the text from there
}

TEST(JStringFindNoCase, FoldsBothSides)
{
    EXPECT_EQ(JString("Hello World").FindNoCase("WORLD"), 6);
    EXPECT_EQ(JString("Hello World").FindNoCase(JString("wOrLd")), 6);
    EXPECT_EQ(JString("Hello").FindNoCase('L', 0), 2);
    EXPECT_EQ(JString("Hello").FindNoCase('L', 3), 3);
    EXPECT_EQ(JString("Hello").FindNoCase('h', 1), -1);
    EXPECT_EQ(JString("abcABC").FindNoCase("BC", 2), 4);
    EXPECT_EQ(JString("abc").FindNoCase("abcd"), -1);
}

TEST(JStringFindNoCase, Refusals)
{
    const JString hello("hello");
    EXPECT_EQ(hello.FindNoCase(""), -1);  // where Find("") is 0
    EXPECT_EQ(hello.FindNoCase("", 0), -1);
    EXPECT_EQ(hello.FindNoCase(static_cast<const char*>(nullptr)), -1);
    EXPECT_EQ(hello.FindNoCase(static_cast<const char*>(nullptr), 0), -1);
    EXPECT_EQ(hello.FindNoCase(JString()), -1);
    EXPECT_EQ(hello.FindNoCase('l', 5), -1);
    EXPECT_EQ(hello.FindNoCase('l', -1), -1);
    EXPECT_EQ(hello.FindNoCase("l", 5), -1);
    EXPECT_EQ(hello.FindNoCase("l", -3), -1);
    EXPECT_EQ(JString().FindNoCase("a"), -1);
}

TEST(JStringFindNoCase, WorksOnTheTextUpToTheFirstNul)
{
    const JString s = WithInnerNul();
    EXPECT_EQ(s.FindNoCase("C"), -1);
    EXPECT_EQ(s.FindNoCase('C', 2), -1);  // start lies past the text
    EXPECT_EQ(s.FindNoCase("A", 0), 0);
    // The NUL character is the empty one-character text: found at the start.
    EXPECT_EQ(JString("ab").FindNoCase('\0', 1), 1);
}

TEST(JStringExtraction, Mid)
{
    const JString hello("hello");
    EXPECT_STREQ(hello.Mid(1).GetBuffer(), "ello");
    EXPECT_STREQ(hello.Mid(4).GetBuffer(), "o");
    EXPECT_STREQ(hello.Mid(5).GetBuffer(), "");
    EXPECT_STREQ(hello.Mid(-1).GetBuffer(), "");
    EXPECT_STREQ(hello.Mid(1, 3).GetBuffer(), "ell");
    EXPECT_STREQ(hello.Mid(3, 10).GetBuffer(), "lo");
    EXPECT_STREQ(hello.Mid(3, INT_MAX).GetBuffer(), "lo");
    EXPECT_STREQ(hello.Mid(1, 0).GetBuffer(), "");
    EXPECT_STREQ(hello.Mid(1, -1).GetBuffer(), "");
    EXPECT_EQ(hello.Mid(5).GetLength(), 0);
    EXPECT_NE(hello.Mid(5).GetBuffer(), nullptr);
}

TEST(JStringExtraction, LeftAndRight)
{
    const JString hello("hello");
    EXPECT_STREQ(hello.Left(2).GetBuffer(), "he");
    EXPECT_STREQ(hello.Left(9).GetBuffer(), "hello");
    EXPECT_STREQ(hello.Left(0).GetBuffer(), "");
    EXPECT_STREQ(hello.Left(INT_MIN).GetBuffer(), "");
    EXPECT_STREQ(hello.Right(3).GetBuffer(), "llo");
    EXPECT_STREQ(hello.Right(5).GetBuffer(), "hello");
    EXPECT_STREQ(hello.Right(INT_MAX).GetBuffer(), "hello");
    EXPECT_STREQ(hello.Right(-2).GetBuffer(), "");
    EXPECT_EQ(hello.Right(3).GetLength(), 3);
    EXPECT_EQ(hello.Left(2).GetLength(), 2);
}

TEST(JStringExtraction, ResultsAreCText)
{
    const JString s = WithInnerNul();
    EXPECT_EQ(s.Left(3).GetLength(), 1);
    EXPECT_EQ(s.Right(1).GetLength(), 1);
    EXPECT_STREQ(s.Right(1).GetBuffer(), "c");
    EXPECT_EQ(s.Mid(1).GetLength(), 0);
    EXPECT_STREQ(s.Mid(2).GetBuffer(), "c");
}

TEST(JStringExtractWord, CountsWordsFromOne)
{
    const JString line("  alpha\t beta   gamma\t");
    EXPECT_STREQ(line.ExtractWord(1).GetBuffer(), "alpha");
    EXPECT_STREQ(line.ExtractWord(2).GetBuffer(), "beta");
    EXPECT_STREQ(line.ExtractWord(3).GetBuffer(), "gamma");
    EXPECT_STREQ(line.ExtractWord(4).GetBuffer(), "");
    EXPECT_STREQ(line.ExtractWord(INT_MAX).GetBuffer(), "");
    EXPECT_STREQ(line.GetBuffer(), "  alpha\t beta   gamma\t");  // the receiver is kept
}

TEST(JStringExtractWord, ZeroOrLessGivesTheNormalisedText)
{
    const JString line(" \t a \t\t b  ");
    EXPECT_STREQ(line.ExtractWord(0).GetBuffer(), "a b");
    EXPECT_EQ(line.ExtractWord(-5).GetLength(), 3);
}

TEST(JStringExtractWord, OneWordAndLineBreaksInsideWords)
{
    EXPECT_STREQ(JString("single").ExtractWord(1).GetBuffer(), "single");
    EXPECT_STREQ(JString("single").ExtractWord(2).GetBuffer(), "");
    EXPECT_STREQ(JString("a\nb c").ExtractWord(1).GetBuffer(), "a\nb");
    EXPECT_STREQ(JString("   ").ExtractWord(1).GetBuffer(), "");
    EXPECT_STREQ(JString().ExtractWord(0).GetBuffer(), "");
}

TEST(JStringWhiteSpace, OnlyTheFourCharacters)
{
    EXPECT_EQ(JString().IsAllWhiteSpace(), 1);
    EXPECT_EQ(JString(" \t\r\n").IsAllWhiteSpace(), 1);
    EXPECT_EQ(JString(" a ").IsAllWhiteSpace(), 0);
    EXPECT_EQ(JString("\v").IsAllWhiteSpace(), 0);
    EXPECT_EQ(JString("\f").IsAllWhiteSpace(), 0);
    EXPECT_EQ(JString('\0').IsAllWhiteSpace(), 0);  // a NUL byte is not white space
}

}  // namespace
