#include <fieldkit/collections/JStringArray.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <strings.h>
#include <tuple>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Each element; an emptied slot as "<hole>" (it reads as the empty string).
Lines Of(const JStringArray& a)
{
    Lines out;
    for (int i = 0; i < a.GetCount(); ++i)
        out.push_back(static_cast<const JPtrArray&>(a)[i] ? a.ReadString(i).GetBuffer() : "<hole>");
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

TEST(JStringArray, PopGetStringAndPrintAllTakeTheLastFirst)
{
    JStringArray a = Make({"a", "b", "c", "d", "e"});
    a.Delete(1);
    EXPECT_EQ(Str(a.Pop()), "e");
    EXPECT_EQ(Str(a.GetString()), "d");
    JStringArray b = Make({"x", "y"});
    testing::internal::CaptureStdout();
    a.PrintAll(0);
    b.PrintAll(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cay\nx\n");
    EXPECT_EQ(a.GetCount() + b.GetCount(), 0);
    EXPECT_EQ(Str(a.Pop()), "");
}

TEST(JStringArray, HoldsCopiesRemovesWithShiftAndKeepsHolesInCopies)
{
    JString owned("three");
    JStringArray a(JString("one"));
    a.AddString("two");
    a.AddString(&owned);
    a.AddString(static_cast<JString*>(nullptr));
    a.AddString(static_cast<const char*>(nullptr));
    a.Push(JString("six"));
    a += JString("seven");
    owned = "changed";
    JString read = a[0];
    read = "z";
    a.ReadString(1) += "!";
    EXPECT_EQ(Of(a), Lines({"one", "two", "three", "", "", "six", "seven"}));
    EXPECT_EQ(Str(a[-1]) + Str(a[7]) + Str(a.ReadString(-1)) + Str(a.ReadString(7)), "");

    a.RemoveString(1);
    a.RemoveString(-1);
    a.RemoveString(6);
    a.Delete(1);
    a.Delete(6);
    EXPECT_EQ(Of(a), Lines({"one", "<hole>", "", "", "six", "seven"}));
    EXPECT_EQ(Str(a[1]), "");
    fktest::ExpectDeepCopies(a, Of);

    a.RemoveString(1);
    a.RemoveString(0);
    EXPECT_EQ(Of(a), Lines({"", "", "six", "seven"}));
}

TEST(JStringArray, OperatorsJoinCopiesInOperandOrder)
{
    const JStringArray a = Make({"a", "b"});
    const JString s("s");
    EXPECT_EQ(Of(s + a), Lines({"s", "a", "b"}));
    EXPECT_EQ(Of(a + s), Lines({"a", "b", "s"}));
    EXPECT_EQ(Of(a + "t"), Lines({"a", "b", "t"}));
    EXPECT_EQ(Of(a + Make({"c"})), Lines({"a", "b", "c"}));
    EXPECT_EQ(Of(a + a), Lines({"a", "b", "a", "b"}));
}

TEST(JStringArray, SortsWithAndWithoutCaseHolesFirst)
{
    Lines words = {"b", "ab", "B", "", "a", "Ab", "_", "aB", "z", "A", "Z", "ba", "a"};
    JStringArray a = Make(words);
    a.AddString("hole");
    a.Delete(a.GetCount() - 1);
    a.sort_with_case();
    std::sort(words.begin(), words.end());
    words.insert(words.begin(), "<hole>");
    EXPECT_EQ(Of(a), words);
    a.sort_no_case();
    const Lines folded = Of(a);
    EXPECT_EQ(folded[0], "<hole>");
    for (size_t i = 2; i < folded.size(); ++i)
        EXPECT_LE(strcasecmp(folded[i - 1].c_str(), folded[i].c_str()), 0) << i;
}

// A settings file read line by line: "key: value" and "key = value" lines.
TEST(JStringArray, KeyValueLookupsCleanTheValueTwoWays)
{
    JStringArray lines = Make({"# device settings", "Name: box", "Port: 80", "host = Example.org",
                               "Path: /srv/a:b", "Mode: \tfast\t", "key  = x", "timeout=30",
                               "Flag:", "Port: 81", "Port: 81"});
    lines.Delete(2);  // an emptied slot matches nothing
    // key, extract, result with case, result without case
    const std::tuple<const char*, unsigned char, const char*, const char*> cases[] = {
        {"Port", 1, "81", "81"},
        {"Port", 0, "Port: 81", "Port: 81"},
        {"host", 1, "Example.org", "Example.org"},
        {"Path", 1, "/srv/ab", "/srv/ab"},  // every ':' goes
        {"Mode", 1, "\tfast\t", "fast"},    // only the second drops tabs
        {"key", 1, " x", "x"},              // the first trims before the '=' goes
        {"timeout", 1, "0", "0"},           // the value starts two characters after the key
        {"Flag", 1, "", ""},                // the value would start beyond the line
        {"PORT", 1, "", "81"},
        {"", 0, "# device settings", ""},  // an empty key matches only with case
    };
    for (const auto& [key, extract, with_case, no_case] : cases) {
        EXPECT_EQ(Str(lines.FindStringinString(key, extract)), with_case) << key;
        EXPECT_EQ(Str(lines.FindStringinStringNoCase(key, extract)), no_case) << key;
    }
    EXPECT_EQ(lines.FindString("Port: 81"), 9);
    EXPECT_EQ(lines.FindString("Port"), -1);
    EXPECT_EQ(lines.FindString(""), -1);
}

TEST(JStringArray, EditsEveryLineAndSkipsHoles)
{
    JStringArray a = Make({"  a   b  c ", "k=v", "banana:pie", "kiwi"});
    a.Delete(3);
    a.RemoveMultiChars(' ');
    a.DeleteLeadingChars(' ');
    a.DeleteTrailingChars(' ');
    a.DeleteUptoFirstChar('=', 0);
    EXPECT_EQ(Of(a), Lines({"a b c", "=v", "banana:pie", "<hole>"}));
    a.DeleteUptoFirstChar('=', 1);
    a.Replace('a', JString("XY"));
    a.Replace('i', JString("hi"));  // a replacement holding the character is refused
    a.Replace('X', 'a');
    a.DeleteFind(':', -1);
    EXPECT_EQ(Of(a), Lines({"aY b c", "v", "baYnaYnaY", "<hole>"}));
    a.Remove('Y');
    EXPECT_EQ(Of(a), Lines({"a b c", "v", "banana", "<hole>"}));
}

}  // namespace
