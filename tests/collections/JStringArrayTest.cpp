// SPDX-License-Identifier: MIT
#include <fieldkit/collections/JStringArray.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

std::string Str(const JString& s) { return s.GetBuffer(); }

// Each element; an emptied slot as "<hole>" once it reads as the empty string.
Lines Of(const JStringArray& a)
{
    Lines out;
    for (int i = 0; i < a.GetCount(); ++i)
        out.push_back(static_cast<const JPtrArray&>(a)[i] ? Str(a.ReadString(i)) : Str(a[i]) + "<hole>");
    return out;
}

JStringArray Make(const Lines& lines)
{
    JStringArray a;
    for (const std::string& line : lines)
        a.AddString(line.c_str());
    return a;
}

TEST(JStringArray, OrderOfSumsAndPops)
{
    JStringArray ab = Make({"a", "b"});
    EXPECT_EQ(Of(JString("s") + ab + JString("s")), (Lines{"s", "a", "b", "s"}));
    EXPECT_EQ(Of(ab + "t" + Make({"c"})), (Lines{"a", "b", "t", "c"}));
    EXPECT_EQ(Of(ab + ab), (Lines{"a", "b", "a", "b"}));
    JStringArray a = Make({"a", "b", "c", "d", "e"});  // Pop, GetString and PrintAll take the last element first
    EXPECT_EQ(Str(a.Pop()), "e");
    EXPECT_EQ(Str(a.GetString()), "d");
    a.Delete(1);
    testing::internal::CaptureStdout();
    a.PrintAll(0), ab.PrintAll(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ca" "b\na\n");
    EXPECT_EQ(a.GetCount(), 0);
    EXPECT_EQ(ab.GetCount(), 0);
    EXPECT_EQ(Str(a.Pop()), "");  // empty: the empty string
}

// {"one", "two", "three", "", "", "six", "seven"} from every way of adding a string.
struct JStringArrayTest : ::testing::Test {
    JString owned{"three"};
    JStringArray a{JString("one")};
    void SetUp() override
    {
        a.AddString("two"), a.AddString(&owned), a.AddString(static_cast<JString*>(nullptr));
        a.AddString(static_cast<const char*>(nullptr)), a.Push(JString("six")), a += JString("seven"), owned = "changed";
    }
};

TEST_F(JStringArrayTest, RemoveStringClosesTheGap)
{
    EXPECT_EQ(Of(a), (Lines{"one", "two", "three", "", "", "six", "seven"}));
    for (int index : {-1, 7}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(Str(a[index]), "");
        EXPECT_EQ(Str(a.ReadString(index)), "");
    }
    a.RemoveString(-1), a.RemoveString(7), a.RemoveString(6), a.Delete(1), a.RemoveString(0);
    EXPECT_EQ(Of(a), (Lines{"<hole>", "three", "", "", "six"}));
}

TEST_F(JStringArrayTest, CopiesAreDeep)
{
    a.Delete(2);
    fktest::ExpectDeepCopies(a, Of);
}

// Byte order puts upper case and '_' before lower case; without case '_' comes first.
TEST(JStringArray, SortPutsHolesFirst)
{
    JStringArray a = Make({"b", "ab", "C", "", "a", "_", "Bd", "hole", "z", "Y"});
    a.Delete(7);
    a.sort_with_case();
    EXPECT_EQ(Of(a), (Lines{"<hole>", "", "Bd", "C", "Y", "_", "a", "ab", "b", "z"}));
    a.sort_no_case();
    EXPECT_EQ(Of(a), (Lines{"<hole>", "", "_", "a", "ab", "b", "Bd", "C", "Y", "z"}));
    JStringArray two = Make({"b", "a"});  // catches a sort that leaves two elements as they were
    two.sort_with_case();
    EXPECT_EQ(Of(two), (Lines{"a", "b"}));
}

// A settings file read line by line: "key: value" and "key = value" lines.
TEST(JStringArray, LookupsCleanTheValueTwoWays)
{
    JStringArray lines = Make({"# device settings", "Name: box", "Port: 80", "host = Example.org", "Path: /srv/a:b",
                               "Mode: \tfast\t", "key  = x", "timeout=30", "Flag:", "Port: 81", "Port: 81", ""});
    EXPECT_EQ(lines.FindString("Port: 81"), 9);  // whole elements, the first of two
    EXPECT_EQ(lines.FindString("# device settings"), 0);
    EXPECT_EQ(lines.FindString("Port"), -1);
    EXPECT_EQ(lines.FindString(""), 11);
    EXPECT_EQ(JStringArray().FindString(""), -1);
    lines.Delete(2);  // an emptied slot matches nothing
    // key, extract, result with case, result without case
    const std::tuple<const char*, unsigned char, const char*, const char*> cases[] = {
        {"Port", 1, "81", "81"},  {"Port", 0, "Port: 81", "Port: 81"},  {"PORT", 1, "", "81"},
        {"host", 1, "Example.org", "Example.org"},  {"Path", 1, "/srv/ab", "/srv/ab"},  // every ':' goes
        {"Mode", 1, "\tfast\t", "fast"},  {"key", 1, " x", "x"},  // only the second drops tabs; the first trims, then drops '='
        {"timeout", 1, "0", "0"},  {"Flag", 1, "", ""},  // values start two characters after the key, if at all
        {"", 0, "# device settings", ""},  // an empty key matches only with case
    };
    for (const auto& [key, extract, with_case, no_case] : cases) {
        SCOPED_TRACE(testing::Message() << "key \"" << key << "\", extract " << int(extract));
        EXPECT_EQ(Str(lines.FindStringinString(key, extract)), with_case);
        EXPECT_EQ(Str(lines.FindStringinStringNoCase(key, extract)), no_case);
    }
}

TEST(JStringArray, EditsEveryLineAndSkipsHoles)
{
    JStringArray a = Make({"  a   b  c ", "k=v", "banana:pie", "kiwi"});
    a.Delete(3), a.RemoveMultiChars(' '), a.DeleteLeadingChars(' '), a.DeleteTrailingChars(' ');
    a.DeleteUptoFirstChar('=', 0);
    EXPECT_EQ(Of(a), (Lines{"a b c", "=v", "banana:pie", "<hole>"}));
    a.DeleteUptoFirstChar('=', 1), a.Replace('a', JString("XY"));
    a.Replace('i', JString("hi"));  // a replacement holding the character is refused
    a.Replace('Y', 'o'), a.DeleteFind(':', -1), a.Remove('X');
    EXPECT_EQ(Of(a), (Lines{"o b c", "v", "bonono", "<hole>"}));
}

}  // namespace
