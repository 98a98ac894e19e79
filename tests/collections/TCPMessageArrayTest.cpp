#include <fieldkit/collections/TCPMessageArray.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TCPMessage Msg(const std::string& bytes, int socket)
{
    TCPMessage m;
    m.SetMessage(const_cast<char*>(bytes.data()), static_cast<int>(bytes.size()));
    m.socket = socket;
    return m;
}

// Each element as "bytes@socket"; an emptied slot as "-".
std::vector<std::string> Of(TCPMessageArray& a)
{
    std::vector<std::string> out;
    for (int i = 0; i < a.GetCount(); ++i) {
        TCPMessage* m = a[i];
        out.push_back(m ? std::string(m->data, m->length) + "@" + std::to_string(m->socket) : "-");
    }
    return out;
}

using Texts = std::vector<std::string>;

class TCPMessageArrayTest : public ::testing::Test {
protected:
    TCPMessage m1 = Msg("one", 4);
    TCPMessage m2 = Msg(std::string("t\0o", 3), 5);
    TCPMessage m3 = Msg("three", -1);

    TCPMessageArray Three()
    {
        TCPMessageArray a(&m1);
        a.Add(m2);
        a += m3;
        return a;
    }
};

TEST_F(TCPMessageArrayTest, HoldsDeepCopiesTheCallerMayReuse)
{
    TCPMessageArray a(&m1);
    TCPMessageArray by_value(m2);
    EXPECT_NE(a[0], &m1);
    EXPECT_NE(a[0]->data, m1.data);
    m1.SetMessage(const_cast<char*>("changed"), 7);
    m1.socket = 9;
    m2.FreeMessage();
    EXPECT_EQ(Of(a), Texts({"one@4"}));
    EXPECT_EQ(Of(by_value), Texts({std::string("t\0o@5", 5)}));

    TCPMessageArray none(static_cast<TCPMessage*>(nullptr));
    none.Add(static_cast<TCPMessage*>(nullptr));
    EXPECT_EQ(none.GetCount(), 0);

    TCPMessage empty;  // no buffer at all
    none.Add(empty);
    ASSERT_EQ(none.GetCount(), 1);
    EXPECT_EQ(none[0]->length, 0u);
    EXPECT_EQ(none[0]->socket, -1);
}

TEST_F(TCPMessageArrayTest, RecordsAreIndependentAndStayPut)
{
    TCPMessageArray a;
    a.Add(m1);
    a.Add(m1);
    EXPECT_NE(a[0]->data, a[1]->data);
    TCPMessage* second = a[1];
    for (int i = 0; i < 500; ++i)
        a.Add(m3);
    a.Remove(0);
    EXPECT_EQ(a[0], second);
    EXPECT_EQ(std::string(second->data, second->length), "one");

    second->SetMessage(const_cast<char*>("refilled"), 8);  // the lent record may be refilled
    TCPMessageArray copy(a);
    EXPECT_EQ(std::string(copy[0]->data, copy[0]->length), "refilled");
}

TEST_F(TCPMessageArrayTest, RemoveShiftsAndRefusesOutOfRange)
{
    TCPMessageArray a = Three();
    a.Remove(-1);
    a.Remove(3);
    EXPECT_EQ(Of(a), Texts({"one@4", std::string("t\0o@5", 5), "three@-1"}));
    a.Remove(0);
    EXPECT_EQ(Of(a), Texts({std::string("t\0o@5", 5), "three@-1"}));

    TCPMessage lookalike(*a[1]);
    a.Remove(&lookalike);
    EXPECT_EQ(a.GetCount(), 2);
    a.Remove(a[1]);
    EXPECT_EQ(Of(a), Texts({std::string("t\0o@5", 5)}));
    a.Remove(0);
    EXPECT_EQ(a.GetCount(), 0);
    EXPECT_EQ(a.pop(), nullptr);
}

TEST_F(TCPMessageArrayTest, DeleteEmptiesASlotThatCopiesKeepEmpty)
{
    TCPMessageArray a;
    a.Add(m1);
    a.Add(m3);
    a.Delete(0);
    a.Delete(0);
    a.Delete(2);
    EXPECT_EQ(Of(a), Texts({"-", "three@-1"}));

    TCPMessageArray copied(a);
    TCPMessageArray assigned = Three();
    assigned = a;
    TCPMessageArray sum = m1 + a;
    EXPECT_EQ(Of(copied), Texts({"-", "three@-1"}));
    EXPECT_EQ(Of(assigned), Texts({"-", "three@-1"}));
    EXPECT_EQ(Of(sum), Texts({"one@4", "-", "three@-1"}));

    a.Remove(0);
    EXPECT_EQ(Of(a), Texts({"three@-1"}));
}

TEST_F(TCPMessageArrayTest, OperatorsBuildNewArraysOfCopies)
{
    TCPMessageArray a(m1);
    a.Add(&m2);
    const std::string s2("t\0o@5", 5);
    TCPMessage* none = nullptr;
    TCPMessageArray plus_msg = a + m3;
    TCPMessageArray msg_plus = m3 + a;
    TCPMessageArray plus_ptr = a + &m3;
    TCPMessageArray ptr_plus = &m3 + a;
    TCPMessageArray doubled = a + a;
    TCPMessageArray plus_null = a + none;
    TCPMessageArray null_plus = none + a;
    EXPECT_EQ(Of(plus_msg), Texts({"one@4", s2, "three@-1"}));
    EXPECT_EQ(Of(msg_plus), Texts({"three@-1", "one@4", s2}));
    EXPECT_EQ(Of(plus_ptr), Texts({"one@4", s2, "three@-1"}));
    EXPECT_EQ(Of(ptr_plus), Texts({"three@-1", "one@4", s2}));
    EXPECT_EQ(Of(doubled), Texts({"one@4", s2, "one@4", s2}));
    EXPECT_EQ(Of(plus_null), Texts({"one@4", s2}));
    EXPECT_EQ(Of(null_plus), Texts({"one@4", s2}));
    EXPECT_EQ(Of(a), Texts({"one@4", s2}));
    EXPECT_NE(doubled[0]->data, doubled[2]->data);
    EXPECT_NE(doubled[0]->data, a[0]->data);
}

TEST_F(TCPMessageArrayTest, AssignmentAppendAndSelfUse)
{
    auto* a = new TCPMessageArray(Three());
    TCPMessageArray b(m2);
    b = *a;
    (*a)[0]->data[0] = 'X';
    delete a;  // releases its records and their buffers; b keeps its own
    EXPECT_EQ(Of(b), Texts({"one@4", std::string("t\0o@5", 5), "three@-1"}));

    TCPMessageArray& alias = b;
    b = alias;
    EXPECT_EQ(b.GetCount(), 3);
    b += alias;
    EXPECT_EQ(Of(b), Texts({"one@4", std::string("t\0o@5", 5), "three@-1", "one@4",
                            std::string("t\0o@5", 5), "three@-1"}));
    b += TCPMessageArray(m1);
    EXPECT_EQ(b.GetCount(), 7);
}

TEST_F(TCPMessageArrayTest, PopHandsOverTheRecordWithItsBuffer)
{
    TCPMessageArray a(m1);
    a.Add(m2);
    auto* last = static_cast<TCPMessage*>(a.pop());
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(std::string(last->data, last->length), std::string("t\0o", 3));
    EXPECT_EQ(last->socket, 5);
    delete last;
    EXPECT_EQ(Of(a), Texts({"one@4"}));

    auto* adopted = new TCPMessage(m3);
    a.push(adopted);
    EXPECT_EQ(a[1], adopted);
    EXPECT_EQ(a.Find(adopted), 1);
    a._swap(0, 1);
    EXPECT_EQ(Of(a), Texts({"three@-1", "one@4"}));
}

}  // namespace
