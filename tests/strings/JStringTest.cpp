#include <fieldkit/strings/JString.h>

#include <gtest/gtest.h>

TEST(JStringSmoke, Builds)
{
    JString s("hello");
    s += " world";
    EXPECT_EQ(s.Find("world"), 6);
    EXPECT_EQ(s.Replace('o', JString("00")), 2);
    EXPECT_STREQ(s.GetBuffer(), "hell00 w00rld");
}
