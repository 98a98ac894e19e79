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

TEST(Message, FillsRefillsRefusesAndFreesItsOwnBuffer)
{
    Message m;
    EXPECT_EQ(m.FreeMessage(), 1);
    EXPECT_EQ(Bytes(m), "<null>");
    EXPECT_EQ(Bytes(Message(m)), "");  // a copy of an empty record gets a zero-byte buffer
    EXPECT_EQ(m.SetMessage(nullptr, 0), 1);
    EXPECT_EQ(Bytes(m), "");  // so does a zero-byte fill
    m.SetMessage("first", 5);
    EXPECT_EQ(m.SetMessage("2nd", 3), 1);
    EXPECT_EQ(Bytes(m), "2nd");
    for (const char* src : {"abc", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(m.SetMessage(src, src ? -1 : 4), 0);  // a negative length, no source
        EXPECT_EQ(Bytes(m), "<null>");
        m.SetMessage("abc", 3);
    }
    EXPECT_EQ(m.FreeMessage(), 1);
    EXPECT_EQ(Bytes(m), "<null>");
    EXPECT_EQ(Bytes(Message(static_cast<Message*>(nullptr))), "<null>");
}

TEST(Message, CopiesAreDeepAndSelfAssignmentOrOwnBufferFillKeepTheBytes)
{
    Message m;
    m.SetMessage("x\0yzw", 5);
    Message ctor(m);
    Message from_ptr(&m);
    Message assigned;
    assigned = m;
    m.data[0] = 'a';
    for (const Message* copy : {&ctor, &from_ptr, &assigned})
        EXPECT_EQ(Bytes(*copy), std::string("x\0yzw", 5));

    Message& alias = m;
    m = alias;
    EXPECT_EQ(Bytes(m), std::string("a\0yzw", 5));
    EXPECT_EQ(m.SetMessage(m.data + 2, 2), 1);
    EXPECT_EQ(Bytes(m), "yz");
}

TEST(TCPMessage, CopiesBytesDeepAndSocketByValue)
{
    TCPMessage a;
    EXPECT_EQ(a.socket, -1);
    a.SetMessage("hello", 5);
    a.socket = 7;
    TCPMessage b(a);
    TCPMessage c;
    c = a;
    a.socket = 9;
    a.data[0] = 'j';
    for (const TCPMessage* copy : {&b, &c})
        EXPECT_EQ(Bytes(*copy) + "@" + std::to_string(copy->socket), "hello@7");
}

}  // namespace
