// Many clients through few slots: thousands of connections, some of them
// closed abruptly, and every byte must come back intact and in order.
#include <fieldkit/net/JTCPServer.h>

#include "ServerTestKit.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using fktest::OpenDescriptorCount;
using fktest::PathExists;
using servertest::ConnectLocal;
using servertest::EchoServer;
using servertest::ReceiveUpTo;
using servertest::SendAll;
using servertest::WaitUntil;

constexpr int kClients = 16;
constexpr int kSlots = 8;
#ifdef FIELDKIT_SOAK_SCALE_DOWN  // emulated target: same checks, fewer rounds
constexpr int kCyclesPerClient = 20;
#else
constexpr int kCyclesPerClient = 125;
#endif
constexpr size_t kMaxPayload = 6000;  // up to three 2048-byte reads per piece
constexpr int kReplyMs = 30000;

struct Totals {
    std::atomic<size_t> sent{0};
    std::atomic<int> cycles{0};
    std::atomic<int> abrupt{0};
    std::atomic<int> failures{0};
};

std::string RandomBytes(std::mt19937& rng, size_t n)
{
    std::string s(n, '\0');
    for (char& ch : s)
        ch = static_cast<char>(rng());
    return s;
}

// Sends the payload in up to three pieces; false when the connection failed.
bool SendInPieces(int fd, const std::string& payload, std::mt19937& rng)
{
    size_t done = 0;
    while (done < payload.size()) {
        const size_t rest = payload.size() - done;
        const size_t piece = rng() % 3 == 0 ? rest : 1 + rng() % rest;
        if (!SendAll(fd, payload.substr(done, piece)))
            return false;
        done += piece;
    }
    return true;
}

// One connection: connect, send, then read the whole echo and close, or
// (now and then) close at once or with the echo left unread.
void Cycle(const std::string& path, std::mt19937& rng, Totals& totals)
{
    const int fd = ConnectLocal(path);
    if (fd == -1) {
        ++totals.failures;
        return;
    }
    const unsigned kind = rng() % 16;
    if (kind == 0) {  // gone before saying anything
        close(fd);
        ++totals.abrupt;
        return;
    }
    const std::string payload = RandomBytes(rng, 1 + rng() % kMaxPayload);
    if (!SendInPieces(fd, payload, rng)) {
        ++totals.failures;
        close(fd);
        return;
    }
    totals.sent += payload.size();
    if (kind <= 2) {  // the echo meets a closed peer
        close(fd);
        ++totals.abrupt;
        return;
    }
    if (ReceiveUpTo(fd, payload.size(), kReplyMs) != payload)
        ++totals.failures;
    close(fd);
    ++totals.cycles;
}

TEST(JTCPServerSoak, ManyClientsThroughFewSlotsKeepEveryByte)
{
    const int before = OpenDescriptorCount();
    Totals totals;
    std::string path;
    {
        EchoServer echo(kSlots);
        path = echo.path;
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                std::mt19937 rng(1234u + static_cast<unsigned>(c));
                for (int i = 0; i < kCyclesPerClient; ++i)
                    Cycle(path, rng, totals);
            });
        }
        for (auto& t : clients)
            t.join();
        EXPECT_EQ(totals.failures, 0);
        EXPECT_GT(totals.abrupt, 0);
        EXPECT_EQ(totals.cycles + totals.abrupt, kClients * kCyclesPerClient);
        // Bytes of abruptly closed clients are still read before their end.
        EXPECT_TRUE(WaitUntil([&] { return echo.app.Bytes() == totals.sent; }, kReplyMs));
        EXPECT_EQ(echo.app.Bytes(), totals.sent.load());
    }
    EXPECT_FALSE(PathExists(path));
    EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
