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
    TCPMessage m;
    void SetUp() override { m.SetMessage(kBytes.data(), 5); }
};

TEST(Message, StartsEmpty)
{
    EXPECT_EQ(Bytes(Message()), "<null>");
    EXPECT_EQ(Bytes(Message(static_cast<Message*>(nullptr))), "<null>");
    EXPECT_EQ(TCPMessage().socket, -1) << "the socket's own descriptor";
}

// A zero-byte fill, and so a copy of an empty record, gets a zero-byte buffer.
TEST(Message, ZeroByteFillGivesAZeroByteBuffer)
{
    Message m;
    EXPECT_EQ(Bytes(Message(m)), "");
    EXPECT_EQ(m.SetMessage(nullptr, 0), 1);
    EXPECT_EQ(Bytes(m), "");
}

// Fault caught: a refusal (negative length, no bytes for a length) that keeps the old bytes.
TEST_F(FilledMessage, FillReplacesAndRefusalOrFreeEmpties)
{
    EXPECT_EQ(m.SetMessage("2nd", 3), 1);
    EXPECT_EQ(Bytes(m), "2nd");
    EXPECT_EQ(m.SetMessage("abc", -1), 0);
    EXPECT_EQ(Bytes(m), "<null>");
    m.SetMessage("abc", 3);
    EXPECT_EQ(m.SetMessage(nullptr, 4), 0);
    EXPECT_EQ(Bytes(m), "<null>");
    m.SetMessage("abc", 3);
    EXPECT_EQ(m.FreeMessage(), 1);
    EXPECT_EQ(Bytes(m), "<null>");
}

// Fault caught: a shallow copy (one buffer shared), or a TCPMessage copy without the socket.
TEST_F(FilledMessage, CopiesHaveTheirOwnBuffers)
{
    m.socket = 7;
    TCPMessage constructed(m), assigned;
    assigned = m;
    const Message from_pointer(&m);
    m.data[0] = 'a';
    EXPECT_EQ(Bytes(constructed), kBytes);
    EXPECT_EQ(Bytes(assigned), kBytes);
    EXPECT_EQ(Bytes(from_pointer), kBytes);
    EXPECT_EQ(constructed.socket, 7);
    EXPECT_EQ(assigned.socket, 7);
}

// Fault caught: the old buffer freed before its bytes are copied.
TEST_F(FilledMessage, FillFromItsOwnBuffer)
{
    TCPMessage& alias = m;
    m = alias;
    EXPECT_EQ(Bytes(m), kBytes);
    EXPECT_EQ(m.SetMessage(m.data + 2, 2), 1);
    EXPECT_EQ(Bytes(m), "yz");
}

}  // namespace
