#include <fieldkit/core/Message.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Bytes(const Message& m)
{
    return std::string(m.data, m.length);
}

TEST(Message, StartsEmptyAndFreeingEmptyIsHarmless)
{
    Message m;
    EXPECT_EQ(m.data, nullptr);
    EXPECT_EQ(m.length, 0u);
    EXPECT_EQ(m.FreeMessage(), 1);
    EXPECT_EQ(m.data, nullptr);
}

TEST(Message, ZeroByteFillIsANonNullBuffer)
{
    Message m;
    EXPECT_EQ(m.SetMessage(nullptr, 0), 1);
    EXPECT_NE(m.data, nullptr);
    EXPECT_EQ(m.length, 0u);

    Message empty;
    Message copy(empty);
    EXPECT_NE(copy.data, nullptr);
    EXPECT_EQ(copy.length, 0u);
}

TEST(Message, RefillReplacesTheBytes)
{
    Message m;
    char a[] = "first";
    char b[] = "2nd";
    m.SetMessage(a, 5);
    m.SetMessage(b, 3);
    EXPECT_EQ(Bytes(m), "2nd");
}

TEST(Message, CopiesAreDeep)
{
    Message a;
    char bytes[] = {'x', '\0', 'y'};
    a.SetMessage(bytes, 3);

    Message ctor(a);
    Message from_ptr(&a);
    Message assigned;
    assigned = a;
    for (Message* m : {&ctor, &from_ptr, &assigned}) {
        EXPECT_NE(m->data, a.data);
        EXPECT_EQ(Bytes(*m), std::string("x\0y", 3));
    }
    a.data[0] = 'z';
    EXPECT_EQ(ctor.data[0], 'x');
    EXPECT_EQ(assigned.data[0], 'x');
}

TEST(Message, SelfAssignmentAndFillFromOwnBufferKeepTheBytes)
{
    Message m;
    char bytes[] = "abcdef";
    m.SetMessage(bytes, 6);
    Message& alias = m;
    m = alias;
    EXPECT_EQ(Bytes(m), "abcdef");

    EXPECT_EQ(m.SetMessage(m.data + 2, 3), 1);
    EXPECT_EQ(Bytes(m), "cde");
}

TEST(Message, BadArgumentsAreRefusedAndEmptyTheRecord)
{
    Message m;
    char bytes[] = "abc";
    m.SetMessage(bytes, 3);
    EXPECT_EQ(m.SetMessage(bytes, -1), 0);
    EXPECT_EQ(m.data, nullptr);
    EXPECT_EQ(m.length, 0u);

    m.SetMessage(bytes, 3);
    EXPECT_EQ(m.SetMessage(nullptr, 4), 0);
    EXPECT_EQ(m.data, nullptr);

    Message from_null(static_cast<Message*>(nullptr));
    EXPECT_EQ(from_null.data, nullptr);
    EXPECT_EQ(from_null.length, 0u);
}

TEST(TCPMessage, CopiesBytesDeepAndSocketByValue)
{
    TCPMessage a;
    EXPECT_EQ(a.socket, -1);
    char bytes[] = "hello";
    a.SetMessage(bytes, 5);
    a.socket = 7;

    TCPMessage b(a);
    EXPECT_EQ(b.socket, 7);
    EXPECT_NE(b.data, a.data);
    EXPECT_EQ(Bytes(b), "hello");

    TCPMessage c;
    c = a;
    a.socket = 9;
    a.FreeMessage();
    EXPECT_EQ(c.socket, 7);
    EXPECT_EQ(Bytes(c), "hello");
}

}  // namespace
