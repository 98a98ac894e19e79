// SPDX-License-Identifier: MIT
#include <fieldkit/collections/TCPMessageArray.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

TCPMessage Msg(const std::string& bytes, int socket)
{
    TCPMessage m;
    m.SetMessage(bytes.data(), static_cast<int>(bytes.size()));
    m.socket = socket;
    return m;
}

std::string Text(const TCPMessage& m) { return std::string(m.data, m.length) + "@" + std::to_string(m.socket); }

// Each element as "bytes@socket"; an emptied slot as "-".
Texts Of(TCPMessageArray& a)
{
    Texts out;
    for (int i = 0; i < a.GetCount(); ++i)
        out.push_back(a[i] ? Text(*a[i]) : "-");
    return out;
}

void ExpectValuesInOrder(TCPMessageArray& a, const Texts& want) { EXPECT_EQ(Of(a), want); }

const std::string kTwo("t\0o@5", 5);  // Text of a message whose bytes hold a NUL

// {"t\0o"@5, hole, no buffer@-1, "t\0o"@5}, built from m, which then holds "new"@9.
struct TCPMessageArrayTest : ::testing::Test {
    TCPMessage m = Msg(std::string("t\0o", 3), 5);
    TCPMessageArray a{&m};
    void SetUp() override
    {
        a.Add(Msg("one", 4));
        a += TCPMessage();  // no buffer at all
        a.Add(m);
        m = Msg("new", 9);
        a.Delete(1);
    }
};

TEST_F(TCPMessageArrayTest, HoldsCopiesOfTheMessagesInOrder)
{
    ExpectValuesInOrder(a, {kTwo, "-", "@-1", kTwo});
}

TEST_F(TCPMessageArrayTest, AddOfANullPointerAppendsNothing)
{
    a.Add(static_cast<TCPMessage*>(nullptr));
    ExpectValuesInOrder(a, {kTwo, "-", "@-1", kTwo});
    ExpectValuesInOrder(*std::make_unique<TCPMessageArray>(static_cast<TCPMessage*>(nullptr)), {});
}

TEST_F(TCPMessageArrayTest, IndexesOutsideTheElementsGiveNull)
{
    EXPECT_EQ(a[-1], nullptr);
    EXPECT_NE(a[3], nullptr);
    EXPECT_EQ(a[4], nullptr);
}

TEST_F(TCPMessageArrayTest, RemoveByIndexClosesTheGapAndRefusesOutsideIndexes)
{
    for (int index : {-1, 4}) {
        SCOPED_TRACE(index);
        a.Remove(index);
        ExpectValuesInOrder(a, {kTwo, "-", "@-1", kTwo});
    }
    TCPMessage* last = a[3];
    a.Remove(0);
    ExpectValuesInOrder(a, {"-", "@-1", kTwo});
    EXPECT_EQ(a[2], last);  // records stay put
    a.Remove(2);
    ExpectValuesInOrder(a, {"-", "@-1"});
}

TEST_F(TCPMessageArrayTest, RemoveByRecordGoesByIdentityNotByContents)
{
    TCPMessage lookalike(*a[3]);
    a.Remove(&lookalike);
    ExpectValuesInOrder(a, {kTwo, "-", "@-1", kTwo});
    a.Remove(a[2]);
    ExpectValuesInOrder(a, {kTwo, "-", kTwo});
    a.Remove(static_cast<TCPMessage*>(nullptr));  // the first emptied slot
    ExpectValuesInOrder(a, {kTwo, kTwo});
}

TEST_F(TCPMessageArrayTest, CopiesAssignmentsAndAppendsAreDeepAndKeepHoles)
{
    fktest::ExpectDeepCopies(a, Of);
}

TEST_F(TCPMessageArrayTest, SumsKeepTheOperandOrder)
{
    TCPMessage* none = nullptr;
    struct { const char* expr; TCPMessageArray sum; Texts want; } cases[] = {
        {"m + a + &m", m + a + &m, {"new@9", kTwo, "-", "@-1", kTwo, "new@9"}},
        {"&m + a + m", &m + a + m, {"new@9", kTwo, "-", "@-1", kTwo, "new@9"}},
        {"null + a + null", none + a + none, {kTwo, "-", "@-1", kTwo}},
        {"a + a", a + a, {kTwo, "-", "@-1", kTwo, kTwo, "-", "@-1", kTwo}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.expr);
        ExpectValuesInOrder(c.sum, c.want);
    }
}

// A record lent by operator[] may be refilled; pop hands it over with its bytes.
TEST_F(TCPMessageArrayTest, PopHandsTheLastRecordOverAndPushAdoptsOne)
{
    a[3]->SetMessage("refilled", 8);
    const std::unique_ptr<TCPMessage> popped(static_cast<TCPMessage*>(a.pop()));
    ASSERT_NE(popped, nullptr);
    EXPECT_EQ(Text(*popped), "refilled@5");
    a.push(new TCPMessage(m));
    ExpectValuesInOrder(a, {kTwo, "-", "@-1", "new@9"});
}

}  // namespace
