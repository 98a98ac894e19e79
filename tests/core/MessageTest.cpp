// SPDX-License-Identifier: MIT
#include <fieldkit/core/Message.h>

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kBytes("x\0yzw", 5);

// The bytes; "<null>" for a record without a buffer (and a length 0).
std::string Bytes(const Message& m)
{
    return m.data ? std::string(m.data, m.length) : std::string(m.length ? "<null, length>" : "<null>");
}

struct FilledMessage : ::testing::Test {
    Message m;
    void SetUp() override { m.SetMessage(kBytes.data(), 5); }
};

TEST(Message, StartsEmpty)
{
    EXPECT_EQ(Bytes(Message()), "<null>");
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

TEST_F(FilledMessage, FillReplacesTheBytes)
{
    EXPECT_EQ(m.SetMessage("2nd", 3), 1);
    EXPECT_EQ(Bytes(m), "2nd");
    EXPECT_EQ(m.FreeMessage(), 1);
    EXPECT_EQ(Bytes(m), "<null>");
}

TEST_F(FilledMessage, RefusedFillEmpties)
{
    const struct { const char* src; int len; } refused[] = {{"abc", -1}, {nullptr, 4}};
    for (const auto& r : refused) {
        SCOPED_TRACE(testing::Message() << (r.src ? r.src : "null") << ", " << r.len);
        m.SetMessage("abc", 3);
        EXPECT_EQ(m.SetMessage(r.src, r.len), 0);
        EXPECT_EQ(Bytes(m), "<null>");
    }
}

TEST_F(FilledMessage, CopiesHaveTheirOwnBuffers)
{
    Message ctor(m), from_ptr(&m), assigned;
    assigned = m;
    m.data[0] = 'a';
    EXPECT_EQ(Bytes(ctor), kBytes);
    EXPECT_EQ(Bytes(from_ptr), kBytes);
    EXPECT_EQ(Bytes(assigned), kBytes);
}

TEST_F(FilledMessage, FillFromItsOwnBuffer)
{
    Message& alias = m;
    m = alias;
    EXPECT_EQ(Bytes(m), kBytes);
    EXPECT_EQ(m.SetMessage(m.data + 2, 2), 1);
    EXPECT_EQ(Bytes(m), "yz");
}

TEST(TCPMessage, StartsOnTheOwnDescriptor) { EXPECT_EQ(TCPMessage().socket, -1); }

TEST(TCPMessage, CopiesBytesDeepAndSocketByValue)
{
    TCPMessage a, c;
    a.SetMessage("hello", 5);
    a.socket = 7;
    TCPMessage b(a);
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
