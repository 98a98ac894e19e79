// SPDX-License-Identifier: MIT
#include <fieldkit/collections/TCPMessageArray.h>

#include "OwningArrayTests.h"

namespace {

TCPMessage Msg(const std::string& bytes, int socket)
{
    TCPMessage m;
    m.SetMessage(bytes.data(), static_cast<int>(bytes.size())), m.socket = socket;
    return m;
}

struct TCPMessageArrayTraits {
    using Array = TCPMessageArray;
    using Value = TCPMessage;
    static Value Make(int i) { return i == 0 ? Msg(std::string("t\0o", 3), 5) : Msg(std::string(i, 'x'), i); }
    static std::string Show(const Value& m) { return (m.data ? std::string(m.data, m.length) : "<null>") + "@" + std::to_string(m.socket); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(TCPMessageArray, OwningArrayTest, TCPMessageArrayTraits);

// The server's reading thread lends one record; what the array lends may be refilled too.
TEST(TCPMessageArray, LentRecordsCanBeRefilled)
{
    TCPMessageArray a(Msg("one", 4));
    a += TCPMessage(), a.Add(TCPMessage()), a[0]->SetMessage("refilled", 8);
    EXPECT_EQ(OwningArrayTest<TCPMessageArrayTraits>::Of(a), Shown({"refilled@4", "@-1", "@-1"}));
}

}  // namespace
