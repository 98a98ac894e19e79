#include <fieldkit/collections/JStringArray.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <strings.h>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

Lines Of(const JStringArray& a)
{
    Lines out;
    for (int i = 0; i < a.GetCount(); ++i)
        out.push_back(a.ReadString(i).GetBuffer());
    return out;
}

JStringArray Make(const Lines& lines)
{
    JStringArray a;
    for (const std::string& line : lines)
        a.AddString(line.c_str());
    return a;
}

std::string Str(const JString& s)
{
    return s.GetBuffer();
}

bool IsEmptied(JStringArray& a, int index)
{
    return static_cast<JPtrArray&>(a)[index] == nullptr;
}

TEST(JStringArray, PopAndGetStringTakeTheLastElement)
{
    JStringArray a = Make({"a", "b", "c"});
    EXPECT_EQ(Str(a.Pop()), "c");
    EXPECT_EQ(Str(a.GetString()), "b");
    EXPECT_EQ(a.GetCount(), 1);
    EXPECT_EQ(Str(a.Pop()), "a");
    EXPECT_EQ(Str(a.Pop()), "");
    EXPECT_EQ(Str(a.GetString()), "");
    EXPECT_EQ(a.GetCount(), 0);
}

TEST(JStringArray, EveryAddCopiesItsText)
{
    JString owned("three");
    JString* none = nullptr;
    const char* no_text = nullptr;
    JStringArray a(JString("one"));
    a.AddString("two");
    a.AddString(&owned);
    a.AddString(none);
    a.AddString(no_text);
    a.AddString(JString("six"));
    a.Push(JString("seven"));
    a += JString("eight");
    owned = "changed";
    EXPECT_EQ(Of(a), Lines({"one", "two", "three", "", "", "six", "seven", "eight"}));
    EXPECT_EQ(Str(owned), "changed");
}

TEST(JStringArray, ReadsGiveCopiesAndEmptyStringsOutOfRange)
{
    JStringArray a = Make({"x", "y"});
    JString copy = a[0];
    copy = "z";
    a.ReadString(1) += "!";
    EXPECT_EQ(Of(a), Lines({"x", "y"}));
    EXPECT_EQ(Str(a[-1]), "");
    EXPECT_EQ(Str(a[2]), "");
    EXPECT_EQ(Str(a.ReadString(-1)), "");
    EXPECT_EQ(Str(a.ReadString(2)), "");
}

TEST(JStringArray, RemoveStringShiftsAndDeleteEmptiesASlot)
{
    JStringArray a = Make({"a", "b", "c", "d"});
    a.RemoveString(1);
    a.RemoveString(-1);
    a.RemoveString(3);
    EXPECT_EQ(Of(a), Lines({"a", "c", "d"}));

    a.Delete(1);
    a.Delete(7);
    EXPECT_EQ(a.GetCount(), 3);
    EXPECT_TRUE(IsEmptied(a, 1));
    EXPECT_EQ(Str(a[1]), "");

    JStringArray copied(a);
    JStringArray assigned = Make({"q"});
    assigned = a;
    JStringArray joined = JString("s") + a;
    EXPECT_TRUE(IsEmptied(copied, 1));
    EXPECT_TRUE(IsEmptied(assigned, 1));
    EXPECT_TRUE(IsEmptied(joined, 2));
    EXPECT_EQ(Of(joined), Lines({"s", "a", "", "d"}));

    a.RemoveString(1);
    a.RemoveString(0);
    a.RemoveString(0);
    EXPECT_EQ(a.GetCount(), 0);
    EXPECT_EQ(Str(a.Pop()), "");
    a.AddString("again");
    EXPECT_EQ(Of(a), Lines({"again"}));
}

TEST(JStringArray, PrintAllWritesLastFirstAndEmptiesTheArray)
{
    JStringArray a = Make({"a", "b", "c"});
    testing::internal::CaptureStdout();
    a.PrintAll(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "c\nb\na\n");
    EXPECT_EQ(a.GetCount(), 0);

    JStringArray b = Make({"a", "b", "c"});
    b.Delete(1);
    testing::internal::CaptureStdout();
    b.PrintAll(0);
    a.PrintAll(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ca");
    EXPECT_EQ(b.GetCount(), 0);
}

TEST(JStringArray, SortsWithAndWithoutCase)
{
    JStringArray a = Make({"b", "A", "a"});
    a.sort_no_case();
    EXPECT_EQ(Str(a[2]), "b");
    a.sort_with_case();
    EXPECT_EQ(Of(a), Lines({"A", "a", "b"}));

    Lines words;
    for (int i = 0; i < 300; ++i) {
        std::string w;
        for (int k = 0; k < 1 + (i * 7) % 5; ++k)
            w += static_cast<char>((i * 31 + k * 17) % 2 ? 'A' + (i + k) % 26 : 'a' + (i * k) % 26);
        words.push_back(w);
    }
    JStringArray many = Make(words);
    many.sort_with_case();
    std::sort(words.begin(), words.end());
    EXPECT_EQ(Of(many), words);

    many.sort_no_case();
    const Lines folded = Of(many);
    for (size_t i = 1; i < folded.size(); ++i)
        ASSERT_LE(strcasecmp(folded[i - 1].c_str(), folded[i].c_str()), 0) << i;

    JStringArray holes = Make({"z", "m", "a"});
    holes.Delete(1);
    holes.sort_with_case();
    EXPECT_TRUE(IsEmptied(holes, 0));
    EXPECT_EQ(Of(holes), Lines({"", "a", "z"}));
}

TEST(JStringArray, ComparatorsFollowByteOrderAndCaseFolding)
{
    JString upper("B");
    JString lower("a");
    JString* pu = &upper;
    JString* pl = &lower;
    EXPECT_LT(JStringArray::compare_with_case(&pu, &pl), 0);
    EXPECT_GT(JStringArray::compare_with_no_case(&pu, &pl), 0);
    EXPECT_EQ(JStringArray::compare_with_case(&pu, &pu), 0);
}

TEST(JStringArray, OperatorsJoinInOperandOrder)
{
    const JStringArray a = Make({"a", "b"});
    const JString s("s");
    JStringArray one_first = JStringArray(s) + a;
    JStringArray string_first = s + a;
    JStringArray string_last = a + s;
    JStringArray literal_last = a + "t";
    JStringArray both = a + Make({"c"});
    JStringArray doubled = a + a;
    EXPECT_EQ(Of(one_first), Lines({"s", "a", "b"}));
    EXPECT_EQ(Of(string_first), Lines({"s", "a", "b"}));
    EXPECT_EQ(Of(string_last), Lines({"a", "b", "s"}));
    EXPECT_EQ(Of(literal_last), Lines({"a", "b", "t"}));
    EXPECT_EQ(Of(both), Lines({"a", "b", "c"}));
    EXPECT_EQ(Of(doubled), Lines({"a", "b", "a", "b"}));
    EXPECT_EQ(Of(a), Lines({"a", "b"}));
}

TEST(JStringArray, CopiesAreDeepAndSelfUseIsSound)
{
    auto* a = new JStringArray(Make({"ax", "bx"}));
    JStringArray b;
    b = *a;
    JStringArray c(*a);
    a->Replace('x', 'y');
    EXPECT_EQ(Of(*a), Lines({"ay", "by"}));
    delete a;
    EXPECT_EQ(Of(b), Lines({"ax", "bx"}));
    EXPECT_EQ(Of(c), Lines({"ax", "bx"}));

    JStringArray& alias = b;
    b = alias;
    EXPECT_EQ(Of(b), Lines({"ax", "bx"}));
    b += alias;
    EXPECT_EQ(Of(b), Lines({"ax", "bx", "ax", "bx"}));
    b += c;
    EXPECT_EQ(b.GetCount(), 6);
    b = c;  // reassigning releases the old strings
    EXPECT_EQ(Of(b), Lines({"ax", "bx"}));
}

// A settings file read line by line: "key: value" and "key = value" lines.
class Settings : public ::testing::Test {
protected:
    JStringArray lines = Make({
        "# device settings",
        "Name: box",
        "Port: 80",
        "host = Example.org",
        "Path: /srv/a:b",
        "Mode: \tfast\t",
        "key  = x",
        "timeout=30",
        "Flag:",
        "Port: 81",
    });
};

TEST_F(Settings, CaseSensitiveLookupTrimsThenDropsSeparators)
{
    EXPECT_EQ(Str(lines.FindStringinString("Port", 1)), "80");
    EXPECT_EQ(Str(lines.FindStringinString("Port", 0)), "Port: 80");
    EXPECT_EQ(Str(lines.FindStringinString("Name", 1)), "box");
    EXPECT_EQ(Str(lines.FindStringinString("host", 1)), "Example.org");
    EXPECT_EQ(Str(lines.FindStringinString("Path", 1)), "/srv/ab");  // every ':' goes
    EXPECT_EQ(Str(lines.FindStringinString("Mode", 1)), "\tfast\t");  // tabs stay
    EXPECT_EQ(Str(lines.FindStringinString("key", 1)), " x");  // the space after '=' stays
    EXPECT_EQ(Str(lines.FindStringinString("timeout", 1)), "0");  // two characters skipped after the key
    EXPECT_EQ(Str(lines.FindStringinString("PORT", 1)), "");
    EXPECT_EQ(Str(lines.FindStringinString("Missing", 0)), "");
    EXPECT_EQ(Str(lines.FindStringinString("", 0)), "# device settings");
}

TEST_F(Settings, CaseInsensitiveLookupDropsSeparatorsThenTrims)
{
    EXPECT_EQ(Str(lines.FindStringinStringNoCase("PORT", 1)), "80");
    EXPECT_EQ(Str(lines.FindStringinStringNoCase("port", 0)), "Port: 80");
    EXPECT_EQ(Str(lines.FindStringinStringNoCase("HOST", 1)), "Example.org");
    EXPECT_EQ(Str(lines.FindStringinStringNoCase("path", 1)), "/srv/ab");
    EXPECT_EQ(Str(lines.FindStringinStringNoCase("mode", 1)), "fast");
    EXPECT_EQ(Str(lines.FindStringinStringNoCase("KEY", 1)), "x");
    EXPECT_EQ(Str(lines.FindStringinStringNoCase("", 0)), "");
    EXPECT_EQ(Str(lines.FindStringinStringNoCase("missing", 1)), "");
}

TEST_F(Settings, ValuesStartingBeyondTheLineAreEmpty)
{
    JStringArray short_lines = Make({"Flag", "Flag:", "Flag: ", "Flag: 1"});
    EXPECT_EQ(Str(short_lines.FindStringinString("Flag", 1)), "");
    EXPECT_EQ(Str(short_lines.FindStringinStringNoCase("flag", 1)), "");
    short_lines.RemoveString(0);
    EXPECT_EQ(Str(short_lines.FindStringinString("Flag", 1)), "");
    short_lines.RemoveString(0);
    EXPECT_EQ(Str(short_lines.FindStringinString("Flag", 1)), "");
    short_lines.RemoveString(0);
    EXPECT_EQ(Str(short_lines.FindStringinString("Flag", 1)), "1");
    EXPECT_EQ(Str(lines.FindStringinString("Flag", 1)), "");
}

TEST_F(Settings, SearchesTakeTheFirstMatchAndSkipEmptiedSlots)
{
    EXPECT_EQ(lines.FindString("Port: 80"), 2);
    EXPECT_EQ(lines.FindString("Port"), -1);
    lines.AddString("Port: 80");
    EXPECT_EQ(lines.FindString("Port: 80"), 2);
    lines.Delete(2);
    EXPECT_EQ(lines.FindString("Port: 80"), lines.GetCount() - 1);
    EXPECT_EQ(lines.FindString(""), -1);
    EXPECT_EQ(Str(lines.FindStringinString("Port", 1)), "81");
    EXPECT_EQ(Str(lines.FindStringinStringNoCase("port", 1)), "81");
    EXPECT_EQ(JStringArray().FindString(""), -1);
    EXPECT_EQ(Str(JStringArray().FindStringinString("", 0)), "");
}

TEST(JStringArray, EditsEveryLine)
{
    JStringArray a = Make({"a:b", "c"});
    a.DeleteFind(':', -1);
    EXPECT_EQ(Of(a), Lines({"a", "c"}));

    JStringArray spaced = Make({"a   b  c", " x ", "none"});
    spaced.RemoveMultiChars(' ');
    EXPECT_EQ(Of(spaced), Lines({"a b c", " x ", "none"}));
    spaced.DeleteLeadingChars(' ');
    spaced.DeleteTrailingChars(' ');
    EXPECT_EQ(Of(spaced), Lines({"a b c", "x", "none"}));

    JStringArray kv = Make({"k=v", "none", "=z"});
    kv.DeleteUptoFirstChar('=', 0);
    EXPECT_EQ(Of(kv), Lines({"=v", "none", "=z"}));
    kv.DeleteUptoFirstChar('=', 1);
    EXPECT_EQ(Of(kv), Lines({"v", "none", "z"}));

    JStringArray fruit = Make({"banana", "apple:pie", "kiwi"});
    fruit.Replace('a', JString("XY"));
    EXPECT_EQ(Of(fruit), Lines({"bXYnXYnXY", "XYpple:pie", "kiwi"}));
    fruit.Replace('i', JString("hi"));  // a replacement holding the character is refused
    fruit.Replace('X', 'a');
    fruit.Remove(':');
    fruit.DeleteFind('Y', 2);
    EXPECT_EQ(Of(fruit), Lines({"baaYnaY", "aplepie", "kiwi"}));

    fruit.Delete(0);
    fruit.Remove('i');
    EXPECT_TRUE(IsEmptied(fruit, 0));
    EXPECT_EQ(Of(fruit), Lines({"", "aplepe", "kw"}));

    JStringArray empty;
    empty.Remove('x');
    empty.RemoveMultiChars(' ');
    EXPECT_EQ(empty.GetCount(), 0);
}

}  // namespace
