#include <fieldkit/collections/TCPMessageArray.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

TCPMessage Msg(const std::string& bytes, int socket)
{
    TCPMessage m;
    m.SetMessage(const_cast<char*>(bytes.data()), static_cast<int>(bytes.size()));
    m.socket = socket;
    return m;
}

std::string Text(const TCPMessage& m)
{
    return std::string(m.data, m.length) + "@" + std::to_string(m.socket);
}

// Each element as "bytes@socket"; an emptied slot as "-".
Texts Of(TCPMessageArray& a)
{
    Texts out;
    for (int i = 0; i < a.GetCount(); ++i)
        out.push_back(a[i] ? Text(*a[i]) : "-");
    return out;
}

const std::string kTwo("t\0o@5", 5);  // Text of a message whose bytes hold a NUL

TEST(TCPMessageArray, HoldsDeepCopiesInRecordsThatStayPutAndRemovalsShiftTheRest)
{
    TCPMessage m = Msg(std::string("t\0o", 3), 5);
    TCPMessageArray a(&m);
    a.Add(Msg("one", 4));
    a.Add(static_cast<TCPMessage*>(nullptr));
    a += TCPMessage();  // no buffer at all
    a.Add(m);
    m.SetMessage(const_cast<char*>("changed"), 7);
    m.socket = 9;
    a.Delete(1);
    a.Remove(-1);
    a.Remove(4);
    TCPMessage lookalike(*a[3]);
    a.Remove(&lookalike);  // by identity: equal contents are not the record
    EXPECT_EQ(Of(a), Texts({kTwo, "-", "@-1", kTwo}));
    EXPECT_EQ(a[4], nullptr);
    EXPECT_EQ(a[-1], nullptr);
    TCPMessage* last = a[3];
    a.Remove(1);
    a.Remove(a[0]);
    EXPECT_EQ(Of(a), Texts({"@-1", kTwo}));
    EXPECT_EQ(a[1], last);
    last->SetMessage(const_cast<char*>("refilled"), 8);  // a lent record may be refilled
    EXPECT_EQ(Text(*TCPMessageArray(a)[1]), "refilled@5");
    EXPECT_EQ(TCPMessageArray(static_cast<TCPMessage*>(nullptr)).GetCount(), 0);

    const std::unique_ptr<TCPMessage> popped(static_cast<TCPMessage*>(a.pop()));
    ASSERT_NE(popped, nullptr);
    EXPECT_EQ(Text(*popped), "refilled@5");  // with its buffer
    auto* adopted = new TCPMessage(lookalike);
    a.push(adopted);
    EXPECT_EQ(a.Find(adopted), 1);
    EXPECT_EQ(Of(a), Texts({"@-1", kTwo}));
}

TEST(TCPMessageArray, CopiesKeepHolesAndOperatorsKeepTheOperandOrder)
{
    TCPMessageArray a(Msg("one", 4));
    a.Add(Msg("gone", 0));
    a += Msg(std::string("t\0o", 3), 5);
    a.Delete(1);
    TCPMessage m = Msg("three", -1);
    TCPMessage* none = nullptr;
    std::pair<TCPMessageArray, Texts> cases[] = {
        {a + m, {"one@4", "-", kTwo, "three@-1"}},  {m + a, {"three@-1", "one@4", "-", kTwo}},
        {a + &m, {"one@4", "-", kTwo, "three@-1"}}, {&m + a, {"three@-1", "one@4", "-", kTwo}},
        {a + none, {"one@4", "-", kTwo}},           {none + a, {"one@4", "-", kTwo}},
        {a + a, {"one@4", "-", kTwo, "one@4", "-", kTwo}},
    };
    for (auto& [sum, want] : cases)
        EXPECT_EQ(Of(sum), want);
    fktest::ExpectDeepCopies(a, Of);
}

}  // namespace
