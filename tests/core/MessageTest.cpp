// SPDX-License-Identifier: MIT
#include <fieldkit/core/Message.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// The bytes; "<null>" for a record without a buffer (and a length 0).
std::string Bytes(const Message& m)
{
    return m.data ? std::string(m.data, m.length) : std::string(m.length ? "<null, length>" : "<null>");
}

TEST(Message, StartsEmptyAndFreeMessageKeepsItEmpty)
{
    Message m;
    EXPECT_EQ(Bytes(m), "<null>");
    EXPECT_EQ(m.FreeMessage(), 1);
    EXPECT_EQ(Bytes(m), "<null>");
    EXPECT_EQ(Bytes(Message(static_cast<Message*>(nullptr))), "<null>");
}

// A zero-byte fill, and so a copy of an empty record, gets a zero-byte buffer.
TEST(Message, ZeroByteFillGivesAZeroByteBuffer)
{
    Message m;
    EXPECT_EQ(Bytes(Message(m)), "");
    EXPECT_EQ(m.SetMessage(nullptr, 0), 1);
    EXPECT_EQ(Bytes(m), "");
}

TEST(Message, FillReplacesThePreviousBytesAndFreeMessageEmpties)
{
    Message m;
    m.SetMessage("first", 5);
    EXPECT_EQ(m.SetMessage("2nd", 3), 1);
    EXPECT_EQ(Bytes(m), "2nd");
    EXPECT_EQ(m.FreeMessage(), 1);
    EXPECT_EQ(Bytes(m), "<null>");
}

TEST(Message, FillWithANegativeLengthOrNoSourceIsRefusedAndEmpties)
{
    const struct { const char* src; int len; } refused[] = {{"abc", -1}, {nullptr, 4}};
    for (const auto& r : refused) {
        SCOPED_TRACE(testing::Message() << (r.src ? r.src : "null") << ", " << r.len);
        Message m;
        m.SetMessage("abc", 3);
        EXPECT_EQ(m.SetMessage(r.src, r.len), 0);
        EXPECT_EQ(Bytes(m), "<null>");
    }
}

TEST(Message, CopiesHaveTheirOwnBuffers)
{
    Message m;
    m.SetMessage("x\0yzw", 5);
    Message ctor(m);
    Message from_ptr(&m);
    Message assigned;
    assigned = m;
    m.data[0] = 'a';
    EXPECT_EQ(Bytes(ctor), std::string("x\0yzw", 5));
    EXPECT_EQ(Bytes(from_ptr), std::string("x\0yzw", 5));
    EXPECT_EQ(Bytes(assigned), std::string("x\0yzw", 5));
}

TEST(Message, SelfAssignmentAndAFillFromItsOwnBufferKeepTheBytes)
{
    Message m;
    m.SetMessage("a\0yzw", 5);
    Message& alias = m;
    m = alias;
    EXPECT_EQ(Bytes(m), std::string("a\0yzw", 5));
    EXPECT_EQ(m.SetMessage(m.data + 2, 2), 1);
    EXPECT_EQ(Bytes(m), "yz");
}

TEST(TCPMessage, StartsOnTheOwnDescriptor)
{
    EXPECT_EQ(TCPMessage().socket, -1);
}

TEST(TCPMessage, CopiesBytesDeepAndSocketByValue)
{
    TCPMessage a;
    a.SetMessage("hello", 5);
    a.socket = 7;
    TCPMessage b(a);
    TCPMessage c;
    c = a;
    a.socket = 9;
    a.data[0] = 'j';
    for (const TCPMessage* copy : {&b, &c}) {
        SCOPED_TRACE(copy == &b ? "copy-constructed" : "assigned");
        EXPECT_EQ(Bytes(*copy), "hello");
        EXPECT_EQ(copy->socket, 7);
    }
}

}  // namespace
