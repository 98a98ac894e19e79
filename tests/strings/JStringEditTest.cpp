// JString editing: deletion and stripping, replacement and insertion, case, formatting.
#include <fieldkit/strings/JString.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

std::string Bytes(const JString& s)
{
    return std::string(s.GetBuffer(), static_cast<size_t>(s.GetLength()) + 1);
}

// `text` with every '#' made a NUL byte inside the stored length.
JString WithNuls(const char* text)
{
    JString s(text);
    s.Replace('#', '\0');
    return s;
}

TEST(JStringDelete, RangesAndTheirRefusals)
{
    JString s("hello");
    EXPECT_EQ(s.Delete(1, 2), 3);
    EXPECT_EQ(Bytes(s), std::string("hlo", 4));

    s = "hello";
    EXPECT_EQ(s.Delete(3, -1), 3);
    EXPECT_STREQ(s.GetBuffer(), "hel");
    EXPECT_EQ(s.Delete(0, 3), 0);
    EXPECT_EQ(Bytes(s), std::string(1, '\0'));

    const struct {
        int pos, count;
    } refused[] = {{0, 0}, {4, 2}, {5, 1}, {-1, 1}, {0, -2}, {0, INT_MIN}, {INT_MIN, 1}, {INT_MAX, 1}, {1, INT_MAX}};
    for (const auto& r : refused) {
        s = "hello";
        const char* block = s.GetBuffer();
        EXPECT_EQ(s.Delete(r.pos, r.count), -1) << r.pos << "," << r.count;
        EXPECT_EQ(s.GetBuffer(), block);
        EXPECT_STREQ(s.GetBuffer(), "hello");
    }
}

TEST(JStringDelete, KeepsBytesBehindAnInnerNul)
{
    JString s = WithNuls("ab#cd");
    EXPECT_EQ(s.Delete(0, 1), 4);
    EXPECT_EQ(Bytes(s), std::string("b\0cd", 5));
}

TEST(JStringRemove, EveryOccurrence)
{
    JString s("hello");
    EXPECT_EQ(s.Remove('l'), 3);
    EXPECT_STREQ(s.GetBuffer(), "heo");
    EXPECT_EQ(s.Remove('z'), 3);
    EXPECT_EQ(s.Remove('h'), 2);
    JString all("aaaa");
    EXPECT_EQ(all.Remove('a'), 0);
    EXPECT_EQ(Bytes(all), std::string(1, '\0'));
}

TEST(JStringRemove, NulBytesAreCharactersLikeAnyOther)
{
    JString s = WithNuls("#a##b#");
    EXPECT_EQ(s.Remove('\0'), 2);
    EXPECT_EQ(Bytes(s), std::string("ab", 3));
    JString kept = WithNuls("a#b#a");
    EXPECT_EQ(kept.Remove('a'), 3);
    EXPECT_EQ(Bytes(kept), std::string("\0b\0", 4));
}

TEST(JStringDeleteUptoFirstChar, IncludingOrKeepingTheCharacter)
{
    JString s("key=value");
    EXPECT_EQ(s.DeleteUptoFirstChar('=', 1), 5);
    EXPECT_STREQ(s.GetBuffer(), "value");

    s = "key=value";
    EXPECT_EQ(s.DeleteUptoFirstChar('=', 0), 6);
    EXPECT_STREQ(s.GetBuffer(), "=value");

    s = "key=value";
    EXPECT_EQ(s.DeleteUptoFirstChar('#', 1), -1);
    EXPECT_STREQ(s.GetBuffer(), "key=value");

    s = "=x";
    EXPECT_EQ(s.DeleteUptoFirstChar('=', 0), -1);
    EXPECT_STREQ(s.GetBuffer(), "=x");
    EXPECT_EQ(s.DeleteUptoFirstChar('x', 1), 0);
}

TEST(JStringRemoveMultiChars, RunsBecomeOneCharacter)
{
    JString s("a   b  c");
    EXPECT_EQ(s.RemoveMultiChars(' '), 3);
    EXPECT_STREQ(s.GetBuffer(), "a b c");
    EXPECT_EQ(s.GetLength(), 5);
    EXPECT_EQ(s.RemoveMultiChars(' '), 0);

    JString edges("xxaxxxbx");
    EXPECT_EQ(edges.RemoveMultiChars('x'), 3);
    EXPECT_STREQ(edges.GetBuffer(), "xaxbx");
}

TEST(JStringRemoveMultiChars, NulChangesNothing)
{
    JString s = WithNuls("a##b");
    const char* block = s.GetBuffer();
    EXPECT_EQ(s.RemoveMultiChars('\0'), 0);
    EXPECT_EQ(s.GetBuffer(), block);
    EXPECT_EQ(s.GetLength(), 4);
}

TEST(JStringRemoveMultiChars, OnlyTheTextBeforeAnInnerNulCollapses)
{
    JString s = WithNuls("aab#aa");
    EXPECT_EQ(s.RemoveMultiChars('a'), 1);
    EXPECT_EQ(Bytes(s), std::string("ab\0aa", 6));
}

TEST(JStringStripping, WhiteSpaceAtEitherEnd)
{
    JString s(" \t x y \r\n");
    s.DeleteLeadingWhiteSpace();
    EXPECT_STREQ(s.GetBuffer(), "x y \r\n");
    s.DeleteTrailingWhiteSpace();
    EXPECT_STREQ(s.GetBuffer(), "x y");
    EXPECT_EQ(s.GetLength(), 3);

    JString blank(" \t\r\n ");
    blank.DeleteLeadingWhiteSpace();
    EXPECT_EQ(Bytes(blank), std::string(1, '\0'));
    blank = " \t\r\n ";
    blank.DeleteTrailingWhiteSpace();
    EXPECT_EQ(Bytes(blank), std::string(1, '\0'));

    JString vertical("\vx\f");
    vertical.DeleteLeadingWhiteSpace();
    vertical.DeleteTrailingWhiteSpace();
    EXPECT_STREQ(vertical.GetBuffer(), "\vx\f");
}

TEST(JStringStripping, Sets)
{
    JString s("abbaXab");
    s.DeleteLeadingChars("ab");
    EXPECT_STREQ(s.GetBuffer(), "Xab");
    s = "abbaXab";
    s.DeleteTrailingChars("ab");
    EXPECT_STREQ(s.GetBuffer(), "abbaX");

    s = "abc";
    s.DeleteLeadingChars("");
    s.DeleteTrailingChars(static_cast<const char*>(nullptr));
    s.DeleteLeadingChars(static_cast<const char*>(nullptr));
    EXPECT_STREQ(s.GetBuffer(), "abc");
}

TEST(JStringStripping, SingleCharacters)
{
    JString s("xxaxx");
    s.DeleteLeadingChars('x');
    EXPECT_STREQ(s.GetBuffer(), "axx");
    s.DeleteTrailingChars('x');
    EXPECT_STREQ(s.GetBuffer(), "a");
    s = "xxx";
    s.DeleteTrailingChars('x');
    EXPECT_EQ(Bytes(s), std::string(1, '\0'));
}

TEST(JStringStripping, NulBytes)
{
    // A set never holds the NUL: stripping stops at it.
    JString s = WithNuls(" # ");
    s.DeleteLeadingWhiteSpace();
    s.DeleteTrailingWhiteSpace();
    EXPECT_EQ(Bytes(s), std::string(2, '\0'));
    // The character form strips NUL bytes while the length lasts.
    JString nuls = WithNuls("##a##");
    nuls.DeleteLeadingChars('\0');
    EXPECT_EQ(Bytes(nuls), std::string("a\0\0", 4));
    nuls.DeleteTrailingChars('\0');
    EXPECT_EQ(Bytes(nuls), std::string("a", 2));
    JString lone('\0');
    lone.DeleteTrailingChars('\0');
    EXPECT_EQ(lone.GetLength(), 0);
}

TEST(JStringReplace, CharacterByCharacterInPlace)
{
    JString s("banana");
    const char* block = s.GetBuffer();
    EXPECT_EQ(s.Replace('a', 'o'), 3);
    EXPECT_STREQ(s.GetBuffer(), "bonono");
    EXPECT_EQ(s.GetBuffer(), block);
    EXPECT_EQ(s.Replace('z', 'y'), 0);
    EXPECT_EQ(s.Replace('o', '\0'), 3);
    EXPECT_EQ(s.GetLength(), 6);  // the length stays
    EXPECT_EQ(Bytes(s), std::string("b\0n\0n\0", 7));
}

TEST(JStringReplace, CharacterByString)
{
    JString s("banana");
    EXPECT_EQ(s.Replace('a', JString("XY")), 3);
    EXPECT_STREQ(s.GetBuffer(), "bXYnXYnXY");
    EXPECT_EQ(s.GetLength(), 9);

    s = "banana";
    EXPECT_EQ(s.Replace('a', "ab"), -1);
    EXPECT_STREQ(s.GetBuffer(), "banana");
    EXPECT_EQ(s.Replace('z', "q"), 0);
    EXPECT_EQ(s.Replace('a', ""), 3);
    EXPECT_STREQ(s.GetBuffer(), "bnn");
    JString only("aaa");
    EXPECT_EQ(only.Replace('a', "bc"), 3);
    EXPECT_STREQ(only.GetBuffer(), "bcbcbc");
}

TEST(JStringReplace, ReplacementIsItsText)
{
    JString with = WithNuls("X#Y");
    JString s("a-a");
    EXPECT_EQ(s.Replace('a', with), 2);  // the copy of `with` holds "X"
    EXPECT_EQ(Bytes(s), std::string("X-X", 4));
    EXPECT_EQ(s.Replace('X', with), -1);
    EXPECT_EQ(s.Replace('Y', with), 0);  // 'Y' lies behind the NUL, outside the copy
    // A replacement made in place is searched in its whole length.
    EXPECT_EQ(JString("ab").Replace('\0', JString('\0')), -1);
}

TEST(JStringReplace, NulCharacterByString)
{
    JString s = WithNuls("a#b#");
    EXPECT_EQ(s.Replace('\0', "--"), 2);
    EXPECT_EQ(Bytes(s), std::string("a--b--", 7));
}

TEST(JStringReplace, LastCharacterIsAppendedToTheText)
{
    // Inside the string the replacement goes in byte-wise; the last one is
    // appended to the text, which ends at the inner NUL.
    JString s = WithNuls("a#xbx");
    EXPECT_EQ(s.Replace('x', "YZ"), 2);
    EXPECT_EQ(Bytes(s), std::string("aYZ", 4));

    JString inner = WithNuls("x#xb");
    EXPECT_EQ(inner.Replace('x', "Y"), 2);
    EXPECT_EQ(Bytes(inner), std::string("Y\0Yb", 5));
}

TEST(JStringInsert, BeforeAnExistingCharacterOnly)
{
    JString s("hello");
    s.Insert(2, "XY");
    EXPECT_EQ(Bytes(s), std::string("heXYllo", 8));
    s.Insert(0, "<");
    EXPECT_STREQ(s.GetBuffer(), "<heXYllo");

    const char* block = s.GetBuffer();
    s.Insert(8, "!");
    s.Insert(-1, "!");
    s.Insert(INT_MAX, "!");
    EXPECT_EQ(s.GetBuffer(), block);
    EXPECT_STREQ(s.GetBuffer(), "<heXYllo");

    JString empty;
    empty.Insert(0, "x");
    EXPECT_EQ(empty.GetLength(), 0);
}

TEST(JStringInsert, TakesTheInsertedStringsStoredLength)
{
    JString s("ab");
    s.Insert(1, JString('\0'));
    EXPECT_EQ(Bytes(s), std::string("a\0b", 4));
    s.Insert(1, "");
    EXPECT_EQ(s.GetLength(), 3);
    JString self("ab");
    self.Insert(1, self);
    EXPECT_STREQ(self.GetBuffer(), "aabb");
}

TEST(JStringCase, ByteWiseInPlace)
{
    JString s("abc1");
    const char* block = s.GetBuffer();
    s.MakeUpper();
    EXPECT_STREQ(s.GetBuffer(), "ABC1");
    EXPECT_EQ(s.GetBuffer(), block);
    s.MakeLower();
    EXPECT_STREQ(s.GetBuffer(), "abc1");

    JString bytes = WithNuls("a#\xe9z");
    bytes.MakeUpper();  // the C locale leaves bytes >= 0x80 alone; the NUL stays
    EXPECT_EQ(Bytes(bytes), std::string("A\0\xe9Z", 5));
}

TEST(JStringFormat, PrintfStyle)
{
    JString s("old");
    s.Format("%d-%s-%c", 42, "x", 'y');
    EXPECT_STREQ(s.GetBuffer(), "42-x-y");
    EXPECT_EQ(s.GetLength(), 6);
    const char* empty = "";
    s.Format(empty, 0);
    EXPECT_EQ(Bytes(s), std::string(1, '\0'));
    const char* none = nullptr;
    s = "old";
    s.Format(none, 0);
    EXPECT_EQ(Bytes(s), std::string(1, '\0'));
}

TEST(JStringFormat, CutAt1022Characters)
{
    JString s;
    s.Format("%2000s", "z");
    EXPECT_EQ(s.GetLength(), 1022);
    EXPECT_EQ(std::string(s.GetBuffer()), std::string(1022, ' '));
    s.Format("%1021s%s", "", "ab");
    EXPECT_EQ(s.GetLength(), 1022);
    EXPECT_EQ(s[1021], 'a');
}

TEST(JStringFormat, OwnTextAsArgument)
{
    JString s("abc");
    s.Format("[%s|%s]", s.GetBuffer(), s.GetBuffer());
    EXPECT_STREQ(s.GetBuffer(), "[abc|abc]");
}

TEST(JStringFormat, NulCharacterEndsTheText)
{
    JString s;
    s.Format("a%cb", '\0');
    EXPECT_EQ(Bytes(s), std::string("a", 2));
}

}  // namespace
