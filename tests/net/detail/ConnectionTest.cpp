// SPDX-License-Identifier: MIT
// The output queue of one server connection, through socket pairs: no threads, no sleeps.
#include <fieldkit/net/detail/Connection.h>

#include "support/TestSupport.h"

#include <unistd.h>

using fieldkit::detail::Connection;
using fieldkit::detail::FlushResult;
using fieldkit::detail::SendResult;

namespace {

struct Open : fktest::SocketPair {  // a record speaking for fds[0]; fds[1] is the peer
    Open() { conn.open(fds[0], {}, 0, 0); }
    SendResult Send(const std::string& s, size_t limit = 0) { return conn.send(fds[0], s.data(), s.size(), limit); }
    // Alternates reading the peer and flushing until the queue drained (or a flush failed).
    std::string FlushAll()
    {
        std::string got;
        FlushResult r = FlushResult::kPending;
        for (int pass = 0; pass < 10000 && r == FlushResult::kPending; ++pass) {
            got += fktest::Drain(fds[1]);
            r = conn.flush();
        }
        EXPECT_EQ(r, FlushResult::kDrained);
        return got + fktest::Drain(fds[1]);
    }
    Connection conn;
};

// Faults: a send the socket took whole is queued as well (sent twice) or reported as queued; the rest of a
// partial write is lost, or written again from its start.
TEST(Connection, AWholeSendGoesAtOnceAPartialOneQueuesTheRestInOrder)
{
    Open c;
    EXPECT_EQ(c.Send("abc"), SendResult::kSent);
    EXPECT_FALSE(c.conn.has_output());
    EXPECT_EQ(fktest::Drain(c.fds[1]), "abc");
    fktest::Fill(c.fds[0]);
    fktest::Drain(c.fds[1]);  // an empty socket now, that takes only a part of what follows
    const std::string big = fktest::Pattern(65536);
    EXPECT_EQ(c.Send(big), SendResult::kQueued);
    EXPECT_GT(c.conn.queued_bytes(), 0u);
    EXPECT_LT(c.conn.queued_bytes(), big.size());
    EXPECT_EQ(c.FlushAll(), big);
    EXPECT_FALSE(c.conn.has_output());
}

// Fault: a send made while bytes wait goes straight to a writable socket and overtakes them.
TEST(Connection, SendsBehindQueuedBytesKeepTheirOrderAcrossFlushes)
{
    Open c;
    fktest::Fill(c.fds[0]);
    fktest::Drain(c.fds[1]);
    const std::string first = fktest::Pattern(20000);
    EXPECT_EQ(c.Send(first), SendResult::kQueued);
    const std::string head = fktest::Drain(c.fds[1]);  // the socket is writable again
    EXPECT_EQ(c.Send("second"), SendResult::kQueued);
    EXPECT_EQ(c.conn.flush(), FlushResult::kPending);
    EXPECT_EQ(c.Send("third"), SendResult::kQueued);
    EXPECT_EQ(head + c.FlushAll(), first + "second" + "third");
}

// Faults: the limit is checked against the one send instead of the whole queue; a refused send leaves bytes
// behind; the send bound is not started when the queue starts to fill.
TEST(Connection, TheLimitRefusesASendThatWouldPassItAndQueuesNothingOfIt)
{
    Open c;
    fktest::Fill(c.fds[0]);  // every write gets EAGAIN: whole sends are queued
    const uint32_t before = fieldkit::detail::monotonic_ms();
    EXPECT_EQ(c.Send("0123456789", 16), SendResult::kQueued);
    // The send bound counts from here.
    EXPECT_LE(c.conn.output_since_ms() - before, fieldkit::detail::monotonic_ms() - before);
    EXPECT_EQ(c.Send("abcdefg", 16), SendResult::kOverLimit);
    EXPECT_EQ(c.conn.queued_bytes(), 10u);
    EXPECT_EQ(c.Send("abcdef", 16), SendResult::kQueued);  // exactly up to the limit
}

// Fault: a closed record still writes to its old descriptor number, which may be another connection's by then.
TEST(Connection, AClosedRecordDropsItsQueueAndRefusesSends)
{
    Open c;
    fktest::Fill(c.fds[0]);
    EXPECT_EQ(c.Send("x"), SendResult::kQueued);
    EXPECT_EQ(c.conn.send(c.fds[1], "x", 1, 0), SendResult::kNotOurs);  // not its descriptor
    c.conn.close();
    EXPECT_EQ(c.conn.queued_bytes(), 0u);
    EXPECT_FALSE(c.conn.has_output());
    EXPECT_EQ(c.Send("y"), SendResult::kNotOurs);
    EXPECT_EQ(c.conn.flush(), FlushResult::kLost);
}

// Fault: a peer that went away reads as "pending" for ever (or raises SIGPIPE).
TEST(Connection, APeerThatWentAwayIsLost)
{
    Open c;
    fktest::Fill(c.fds[0]);
    EXPECT_EQ(c.Send("x"), SendResult::kQueued);
    close(std::exchange(c.fds[1], -1));
    EXPECT_EQ(c.conn.flush(), FlushResult::kLost);
    Open fresh;
    close(std::exchange(fresh.fds[1], -1));
    EXPECT_EQ(fresh.Send("y"), SendResult::kLost);
}

}  // namespace
