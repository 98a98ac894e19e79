// SPDX-License-Identifier: MIT
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

const std::string kTwo("t\0o@5", 5);  // Text of a message whose bytes hold a NUL

TEST(TCPMessageArray, HoldsDeepCopiesInRecordsThatStayPutAndCopiesKeepHoles)
{
    TCPMessage m = Msg(std::string("t\0o", 3), 5);
    TCPMessageArray a(&m);
    a.Add(Msg("one", 4));
    a.Add(static_cast<TCPMessage*>(nullptr));
    a += TCPMessage();  // no buffer at all
    a.Add(m);
    m = Msg("new", 9);
    a.Delete(1);
    a.Remove(-1);
    a.Remove(4);
    TCPMessage lookalike(*a[3]);
    a.Remove(&lookalike);  // by identity: equal contents are not the record
    EXPECT_EQ(Of(a), Texts({kTwo, "-", "@-1", kTwo}));
    EXPECT_TRUE(a[4] == nullptr && a[-1] == nullptr);
    fktest::ExpectDeepCopies(a, Of);
    TCPMessage* none = nullptr;
    std::pair<TCPMessageArray, Texts> cases[] = {
        {m + a + &m, {"new@9", kTwo, "-", "@-1", kTwo, "new@9"}}, {none + a + none, {kTwo, "-", "@-1", kTwo}},
        {&m + a + m, {"new@9", kTwo, "-", "@-1", kTwo, "new@9"}}, {TCPMessageArray(none), {}},
        {a + a, {kTwo, "-", "@-1", kTwo, kTwo, "-", "@-1", kTwo}},
    };
    for (auto& [sum, want] : cases)
        EXPECT_EQ(Of(sum), want);

    TCPMessage* last = a[3];
    a.Remove(1);
    a.Remove(a[0]);
    EXPECT_EQ(Of(a), Texts({"@-1", kTwo}));
    EXPECT_EQ(a[1], last);
    last->SetMessage("refilled", 8);  // a lent record may be refilled
    const std::unique_ptr<TCPMessage> popped(static_cast<TCPMessage*>(a.pop()));
    EXPECT_EQ(popped ? Text(*popped) : "", "refilled@5");  // with its buffer
    a.push(new TCPMessage(lookalike));  // push adopts a record
    EXPECT_EQ(Of(a), Texts({"@-1", kTwo}));
}

}  // namespace
