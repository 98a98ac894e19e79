// JString core: construction and assignment, concatenation and comparison, output.
#include <fieldkit/strings/JString.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// The bytes of the block up to and including the terminator.
std::string Bytes(const JString& s)
{
    return std::string(s.GetBuffer(), static_cast<size_t>(s.GetLength()) + 1);
}

// Everything `fn` writes to standard output.
template <typename Fn>
std::string Printed(Fn fn)
{
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(JStringConstruction, EveryConstructorGivesItsOwnTerminatedBlock)
{
    const JString empty;
    ASSERT_NE(empty.GetBuffer(), nullptr);
    EXPECT_EQ(Bytes(empty), std::string(1, '\0'));

    const JString text("abc");
    EXPECT_EQ(text.GetLength(), 3);
    EXPECT_EQ(Bytes(text), std::string("abc", 4));

    const JString copy(text);
    EXPECT_NE(copy.GetBuffer(), text.GetBuffer());
    EXPECT_EQ(Bytes(copy), Bytes(text));

    JString source("xy");
    const JString from_pointer(&source);
    EXPECT_NE(from_pointer.GetBuffer(), source.GetBuffer());
    EXPECT_STREQ(from_pointer.GetBuffer(), "xy");

    const JString from_null(static_cast<JString*>(nullptr));
    EXPECT_EQ(from_null.GetLength(), 0);
    EXPECT_STREQ(from_null.GetBuffer(), "");

    const JString null_text(static_cast<const char*>(nullptr));
    EXPECT_EQ(null_text.GetLength(), 0);
    EXPECT_STREQ(null_text.GetBuffer(), "");
}

TEST(JStringConstruction, CharacterNulHasLengthOneAndEmptyText)
{
    const JString c('c');
    EXPECT_EQ(Bytes(c), std::string("c", 2));

    const JString nul('\0');
    EXPECT_EQ(nul.GetLength(), 1);
    EXPECT_EQ(Bytes(nul), std::string(2, '\0'));
    EXPECT_EQ(nul[0], '\0');
}

TEST(JStringConstruction, CopiesMeasureTheTextUpToTheFirstNul)
{
    JString s("abc");
    s.Replace('b', '\0');
    ASSERT_EQ(s.GetLength(), 3);

    const JString copy(s);
    EXPECT_EQ(copy.GetLength(), 1);
    EXPECT_EQ(Bytes(copy), std::string("a", 2));
    const JString from_pointer(&s);
    EXPECT_EQ(from_pointer.GetLength(), 1);
}

TEST(JStringAssignment, CopyTakesTheStoredLengthAndEveryByte)
{
    JString s("abc");
    s.Replace('b', '\0');
    JString target("something longer");
    target = s;
    EXPECT_EQ(target.GetLength(), 3);
    EXPECT_EQ(Bytes(target), std::string("a\0c", 4));
    EXPECT_NE(target.GetBuffer(), s.GetBuffer());
}

TEST(JStringAssignment, SelfAssignmentKeepsTheValue)
{
    JString s("value");
    JString& same = s;
    s = same;
    EXPECT_STREQ(s.GetBuffer(), "value");
    EXPECT_EQ(s.GetLength(), 5);
}

TEST(JStringAssignment, CharacterAndTextForms)
{
    JString s("abc");
    s = 'q';
    EXPECT_EQ(Bytes(s), std::string("q", 2));
    s = '\0';
    EXPECT_EQ(s.GetLength(), 0);
    s = "hello";
    EXPECT_EQ(Bytes(s), std::string("hello", 6));
    s = static_cast<const char*>(nullptr);
    EXPECT_EQ(s.GetLength(), 0);
    ASSERT_NE(s.GetBuffer(), nullptr);
    EXPECT_STREQ(s.GetBuffer(), "");
}

TEST(JStringAssignment, TextFromTheOwnBlock)
{
    JString s("prefix-tail");
    s = s.GetBuffer() + 7;
    EXPECT_STREQ(s.GetBuffer(), "tail");
    EXPECT_EQ(s.GetLength(), 4);
}

TEST(JStringConcatenation, AllFiveForms)
{
    const JString ab("ab");
    EXPECT_STREQ((ab + JString("cd")).GetBuffer(), "abcd");
    EXPECT_STREQ((ab + 'c').GetBuffer(), "abc");
    EXPECT_STREQ(('c' + ab).GetBuffer(), "cab");
    EXPECT_STREQ((ab + "xy").GetBuffer(), "abxy");
    EXPECT_STREQ(("xy" + ab).GetBuffer(), "xyab");
    EXPECT_EQ((ab + "xy").GetLength(), 4);
}

TEST(JStringConcatenation, NulAndNullContributeNothing)
{
    const JString ab("ab");
    const JString plus_nul = ab + '\0';
    EXPECT_EQ(Bytes(plus_nul), std::string("ab", 3));
    EXPECT_EQ(Bytes('\0' + ab), std::string("ab", 3));
    EXPECT_EQ(Bytes(ab + static_cast<const char*>(nullptr)), std::string("ab", 3));
    EXPECT_EQ(Bytes(static_cast<const char*>(nullptr) + ab), std::string("ab", 3));
}

TEST(JStringConcatenation, ResultIsTheCTextOfBothSides)
{
    JString left("a-b");
    left.Replace('-', '\0');  // "a\0b", length 3
    const JString sum = left + JString("cd");
    EXPECT_EQ(sum.GetLength(), 3);
    EXPECT_EQ(Bytes(sum), std::string("acd", 4));
}

TEST(JStringAppend, EveryFormAndTheNullPointer)
{
    JString s("ab");
    s += JString("cd");
    s += 'e';
    s += "fg";
    EXPECT_EQ(Bytes(s), std::string("abcdefg", 8));
    s += '\0';
    EXPECT_EQ(s.GetLength(), 7);
    const char* before = s.GetBuffer();
    s += static_cast<const char*>(nullptr);
    EXPECT_EQ(s.GetBuffer(), before);  // untouched, not even reallocated
    EXPECT_EQ(s.GetLength(), 7);
}

TEST(JStringAppend, ToItselfDoubles)
{
    JString s("ab");
    s += s;
    EXPECT_EQ(Bytes(s), std::string("abab", 5));
    s += s.GetBuffer();
    EXPECT_EQ(Bytes(s), std::string("abababab", 9));
}

TEST(JStringAppend, EmptyAppendCutsAnEmbeddedNul)
{
    JString s("abc");
    s.Replace('b', '\0');
    s += "";
    EXPECT_EQ(Bytes(s), std::string("a", 2));
}

TEST(JStringComparison, OperatorsFollowStrcmp)
{
    const JString a("a");
    const JString b("b");
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(a <= b);
    EXPECT_TRUE(a != b);
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(a > b);
    EXPECT_FALSE(a >= b);
    EXPECT_TRUE(a == "a");
    EXPECT_TRUE("a" == a);
    EXPECT_TRUE("b" > a);
    EXPECT_TRUE(b > "a");
    EXPECT_TRUE(a >= "a");
    EXPECT_TRUE("a" <= a);
    EXPECT_TRUE(JString("B") < JString("a"));  // byte order: upper case first
    EXPECT_EQ(a == a, 1);
    EXPECT_EQ(a != a, 0);
}

TEST(JStringComparison, NullPointerMakesAllEighteenFalse)
{
    const JString abc("abc");
    const char* none = nullptr;
    const int results[] = {abc == none, abc != none, abc < none, abc > none, abc <= none, abc >= none,
                           none == abc, none != abc, none < abc, none > abc, none <= abc, none >= abc};
    for (int r : results)
        EXPECT_EQ(r, 0);
}

TEST(JStringComparison, ThreeWayCompare)
{
    const JString upper_b("B");
    EXPECT_LT(upper_b.Compare(JString("a")), 0);
    EXPECT_GT(upper_b.CompareNoCase(JString("a")), 0);
    EXPECT_EQ(upper_b.Compare(JString("B")), 0);
    EXPECT_EQ(upper_b.CompareNoCase(JString("b")), 0);
    EXPECT_EQ(upper_b.Compare("B"), 0);
}

TEST(JStringOutput, PrintWritesTheTextAlone)
{
    EXPECT_EQ(Printed([] { JString("x%sy").print(); }), "x%sy");
    EXPECT_EQ(Printed([] { JString().print(); }), "");
}

TEST(JStringOutput, PrintlnEndsWithExactlyOneLineFeed)
{
    EXPECT_EQ(Printed([] { JString("x").println(); }), "x\n");
    EXPECT_EQ(Printed([] { JString("x\n").println(); }), "x\n");
    EXPECT_EQ(Printed([] { JString("x\n\n").println(); }), "x\n\n");
    EXPECT_EQ(Printed([] { JString().println(); }), "\n");
    EXPECT_EQ(Printed([] { JString('\0').println(); }), "\n");
}

TEST(JStringOutput, PrintlnLooksAtThePrintedText)
{
    JString s("a\nb");
    s.Replace('b', '\0');  // prints "a\n"
    EXPECT_EQ(Printed([&] { s.println(); }), "a\n");
}

TEST(JStringAccess, IndexAtTheLengthIsTheTerminator)
{
    const JString s("hi");
    EXPECT_EQ(s[0], 'h');
    EXPECT_EQ(s[1], 'i');
    EXPECT_EQ(s[2], '\0');
}

}  // namespace
