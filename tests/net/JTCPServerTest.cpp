#include <fieldkit/core/Clock.h>
#include <fieldkit/net/JTCPServer.h>

#include "ServerTestKit.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using fktest::OpenDescriptorCount;
using fktest::PathExists;
using fktest::TempDir;
using servertest::ConnectLocal;
using servertest::EchoApp;
using servertest::EchoServer;
using servertest::PeerClosed;
using servertest::ReceiveUpTo;
using servertest::SendAll;
using servertest::UsedSlots;
using servertest::WaitUntil;

constexpr int kReplyMs = 10000;  // generous bound for anything that should come at once
constexpr int kSilenceMs = 400;  // how long "nothing happens" is watched

// Connects a raw client and proves it was accepted with one echoed round trip.
int ConnectAndEcho(const std::string& path, const std::string& hello)
{
    const int fd = ConnectLocal(path);
    if (fd == -1 || !SendAll(fd, hello) || ReceiveUpTo(fd, hello.size(), kReplyMs) != hello) {
        if (fd != -1)
            close(fd);
        return -1;
    }
    return fd;
}

void CloseAll(std::vector<int>& fds)
{
    for (int fd : fds)
        close(fd);
    fds.clear();
}

TEST(JTCPServer, IdleServerHoldsNothingAndStoppingOnlyPauses)
{
    JTCPServer server;
    EXPECT_EQ(server.connections, nullptr);
    EXPECT_EQ(server.connection_count, 0);
    EXPECT_EQ(server.app, nullptr);
    EXPECT_EQ(server.fd, -1);
    for (int round = 0; round < 2; ++round) {
        const unsigned int start = GetTickCount();
        server.StopThread();
        EXPECT_GE(GetTickCount() - start, 150u);
        EXPECT_FALSE(server.new_connection_thread.running);
        EXPECT_FALSE(server.listen_thread.running);
    }
    server.Cleanup();
    EXPECT_EQ(server.connections, nullptr);
}

TEST(JTCPServer, StartServerRefusesBadCountsAndPathsCleanly)
{
    TempDir dir;
    const std::string path = dir.path("srv");
    const int before = OpenDescriptorCount();
    {
        JTCPServer server;
        EXPECT_EQ(server.StartServer(path.c_str(), -1), 0);
        EXPECT_FALSE(PathExists(path));
        EXPECT_EQ(server.fd, -1);

        const std::string unbindable = dir.path("missing/srv");
        EXPECT_EQ(server.StartServer(unbindable.c_str(), 4), 0);
        EXPECT_EQ(server.connections, nullptr);
        EXPECT_EQ(server.connection_count, 0);
        EXPECT_FALSE(server.new_connection_thread.running);
        EXPECT_FALSE(server.listen_thread.running);
        EXPECT_EQ(server.StartServer(nullptr, 4), 0);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(JTCPServer, CountZeroListensButServesNoConnection)
{
    EchoServer echo(0);
    EXPECT_TRUE(echo.server.listen_thread.running);
    EXPECT_TRUE(PathExists(echo.path));
    const int fd = ConnectLocal(echo.path);  // waits in the backlog
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(SendAll(fd, "hello"));
    EXPECT_EQ(ReceiveUpTo(fd, 5, kSilenceMs), "");
    EXPECT_TRUE(echo.app.Messages().empty());
    close(fd);
}

TEST(JTCPServer, AnswersOnTheSameConnectionFromTheReadingThread)
{
    EchoServer echo(4, false);
    EXPECT_TRUE(echo.server.new_connection_thread.running);
    EXPECT_TRUE(echo.server.listen_thread.running);

    JSocket client(echo.path.c_str(), TCP_CLIENT, UDP_SEND);
    ASSERT_TRUE(client.connected);
    char early[] = "early";
    ASSERT_EQ(client.SendMessage(early, 5, -1), 1);
    // Without an application the bytes are read and dropped: wait until the
    // server's end has nothing queued and the reader is past the delivery.
    ASSERT_TRUE(WaitUntil([&] { return UsedSlots(echo.server) == 1; }));
    const int served = echo.server.connections[0]->fd;
    ASSERT_TRUE(WaitUntil([&] {
        int queued = -1;
        return ioctl(served, FIONREAD, &queued) == 0 && queued == 0;
    }));
    Sleep(50);

    echo.app.Serve(echo.server);
    TCPMessage request;
    request.SetMessage(const_cast<char*>("ping"), 4);
    ASSERT_EQ(client.SendMessage(&request), 1);
    Message reply;
    ASSERT_TRUE(WaitUntil([&] { return client.ReceiveMessage(&reply, 100, -1); }));
    EXPECT_EQ(std::string(reply.data, reply.length), "ping");

    EXPECT_EQ(echo.app.Messages(), std::vector<std::string>{"ping"});
    EXPECT_EQ(echo.app.Sockets(), std::vector<int>{served});
    EXPECT_TRUE(pthread_equal(echo.app.LastThread(), echo.server.listen_thread.id));
    EXPECT_FALSE(pthread_equal(echo.app.LastThread(), pthread_self()));
}

TEST(JTCPServer, FullTableKeepsTheNextClientWaitingUntilASlotFrees)
{
    EchoServer echo(2);

    const int first = ConnectAndEcho(echo.path, "one");
    const int second = ConnectAndEcho(echo.path, "two");
    ASSERT_NE(first, -1);
    ASSERT_NE(second, -1);
    EXPECT_NE(echo.server.connections[1]->fd, -1);

    const int third = ConnectLocal(echo.path);
    ASSERT_NE(third, -1);
    ASSERT_TRUE(SendAll(third, "three"));
    EXPECT_EQ(ReceiveUpTo(third, 5, kSilenceMs), "");
    EXPECT_EQ(UsedSlots(echo.server), 2);

    close(first);  // frees slot 0 without a message to the application
    EXPECT_EQ(ReceiveUpTo(third, 5, kReplyMs), "three");
    EXPECT_EQ(echo.app.Messages(), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(echo.app.Sockets().back(), echo.server.connections[0]->fd);
    EXPECT_EQ(UsedSlots(echo.server), 2);
    close(second);
    close(third);
    EXPECT_TRUE(WaitUntil([&] { return UsedSlots(echo.server) == 0; }));
}

TEST(JTCPServer, LongMessageReachesTheApplicationIn2048ByteReads)
{
    EchoServer echo(1);

    const int fd = ConnectAndEcho(echo.path, "x");
    ASSERT_NE(fd, -1);
    std::string big(3000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + 3);
    ASSERT_TRUE(SendAll(fd, big));
    EXPECT_EQ(ReceiveUpTo(fd, big.size(), kReplyMs), big);
    const std::vector<std::string> got = echo.app.Messages();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1], big.substr(0, 2048));
    EXPECT_EQ(got[2], big.substr(2048));
    close(fd);
}

// The stopped server keeps its slots, so check_fds_read can be watched alone.
TEST(JTCPServer, CheckFdsReadMarksTheReadableSlots)
{
    EchoServer echo(3, false);
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(ConnectLocal(echo.path));
        ASSERT_NE(clients.back(), -1);
    }
    ASSERT_TRUE(WaitUntil([&] { return UsedSlots(echo.server) == 3; }));
    echo.server.StopThread();
    echo.server.check_fds_read(0, 0);  // takes the accepting thread's last wake-up

    const unsigned int start = GetTickCount();
    EXPECT_EQ(echo.server.check_fds_read(200, 1), 0);
    EXPECT_GE(GetTickCount() - start, 199u);

    // Slot order is accept order; make slots 0 and 2 readable.
    ASSERT_TRUE(SendAll(clients[0], "a"));
    ASSERT_TRUE(SendAll(clients[2], "c"));
    EXPECT_EQ(echo.server.check_fds_read(kReplyMs, 0), 2);
    EXPECT_TRUE(echo.server.connections[0]->ready);
    EXPECT_FALSE(echo.server.connections[1]->ready);
    EXPECT_TRUE(echo.server.connections[2]->ready);

    close(clients[1]);  // a hang-up is readable too: the next read sees the end
    EXPECT_EQ(echo.server.check_fds_read(-1, 0), 3);
    close(clients[0]);
    close(clients[2]);
}

TEST(JTCPServer, CheckFdsReadSaturatesInsteadOfWrapping)
{
    constexpr int kClients = 260;
    EchoServer echo(kClients, false);
    std::vector<int> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(ConnectLocal(echo.path));
        ASSERT_NE(clients.back(), -1);
    }
    ASSERT_TRUE(WaitUntil([&] { return UsedSlots(echo.server) == kClients; }, 60000));
    echo.server.StopThread();
    for (int fd : clients)
        ASSERT_TRUE(SendAll(fd, "z"));
    EXPECT_EQ(echo.server.check_fds_read(kReplyMs, 1), 255);
    int ready = 0;
    for (int i = 0; i < kClients; ++i)
        ready += echo.server.connections[i]->ready;
    EXPECT_EQ(ready, kClients);
    CloseAll(clients);
}

// poll, not select: slots may hold descriptors past FD_SETSIZE.
TEST(JTCPServer, ServesDescriptorsAboveFdSetSize)
{
    constexpr int kHigh = 1100;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < kHigh + 64) {
        rlimit raised = limit;
        raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, kHigh + 64);
        if (raised.rlim_cur < kHigh + 64 || setrlimit(RLIMIT_NOFILE, &raised) != 0)
            GTEST_SKIP() << "descriptor limit too low";
    }
    std::vector<int> filler;
    const int null_fd = open("/dev/null", O_RDONLY);
    ASSERT_NE(null_fd, -1);
    while (true) {
        const int fd = dup(null_fd);
        ASSERT_NE(fd, -1);
        filler.push_back(fd);
        if (fd >= kHigh)
            break;
    }
    {
        EchoServer echo(2);
        const int fd = ConnectAndEcho(echo.path, "high");
        EXPECT_NE(fd, -1);
        EXPECT_GT(echo.server.connections[0]->fd, kHigh);
        if (fd != -1)
            close(fd);
        }
    CloseAll(filler);
    close(null_fd);
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(JTCPServer, RestartServesTheNewPathAndDropsTheOldClients)
{
    TempDir dir;
    const std::string first_path = dir.path("first");
    const std::string second_path = dir.path("second");
    const int before = OpenDescriptorCount();
    {
        EchoApp app;
        JTCPServer server(first_path.c_str(), 2);
        app.Serve(server);
        const int old_client = ConnectAndEcho(first_path, "old");
        ASSERT_NE(old_client, -1);

        EXPECT_EQ(server.StartServer(second_path.c_str(), 3), 1);
        EXPECT_EQ(server.connection_count, 3);
        EXPECT_FALSE(PathExists(first_path));
        EXPECT_TRUE(PeerClosed(old_client, kReplyMs));
        close(old_client);

        const int new_client = ConnectAndEcho(second_path, "new");
        EXPECT_NE(new_client, -1);
        close(new_client);
    }
    EXPECT_FALSE(PathExists(second_path));
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// Client threads that keep connecting, exchanging a few echoes and closing,
// until told to end; joined on destruction, also when the test failed.
class ClientCrowd {
public:
    ClientCrowd(const std::string& path, int count)
    {
        for (int c = 0; c < count; ++c)
            threads_.emplace_back([this, path, c] { Run(path, "client " + std::to_string(c)); });
    }
    ~ClientCrowd()
    {
        done_ = true;
        for (auto& t : threads_)
            t.join();
    }
    int Exchanges() const { return exchanges_; }

private:
    void Run(const std::string& path, const std::string& text)
    {
        while (!done_) {
            const int fd = ConnectLocal(path);
            if (fd == -1) {  // the server is gone
                Sleep(5);
                continue;
            }
            for (int i = 0; i < 3 && SendAll(fd, text) && ReceiveUpTo(fd, text.size(), 2000) == text; ++i)
                ++exchanges_;
            close(fd);
        }
    }
    std::vector<std::thread> threads_;
    std::atomic<bool> done_{false};
    std::atomic<int> exchanges_{0};
};

// A server that the test destroys itself, served by an App, on a path in a
// directory that outlives it; `before` is the descriptor count it started from.
template <typename App>
struct DoomedServer {
    explicit DoomedServer(int count) : server(std::make_unique<JTCPServer>(path.c_str(), count))
    {
        app.Serve(*server);
    }
    TempDir dir;
    const std::string path = dir.path("srv");
    const int before = OpenDescriptorCount();
    App app;
    std::unique_ptr<JTCPServer> server;
};

TEST(JTCPServer, DestroyWhileClientsSendClosesEverything)
{
    DoomedServer<EchoApp> doomed(4);
    std::vector<int> held;  // accepted connections whose end is watched
    {
        ClientCrowd crowd(doomed.path, 6);  // more clients than slots: some wait in the backlog
        ASSERT_TRUE(WaitUntil([&] { return crowd.Exchanges() > 50; }, 60000));
        for (int i = 0; i < 2; ++i) {
            held.push_back(ConnectAndEcho(doomed.path, "held"));
            ASSERT_NE(held.back(), -1);
        }
        doomed.server.reset();
        EXPECT_FALSE(PathExists(doomed.path));
        for (int fd : held)
            EXPECT_TRUE(PeerClosed(fd, kReplyMs));
    }
    CloseAll(held);
    EXPECT_EQ(OpenDescriptorCount(), doomed.before);
}

// An application that is still busy when the server is destroyed: the
// destruction waits for it, and its answer still goes out.
class SlowApp : public JStdApp {
public:
    void Serve(JTCPServer& s)
    {
        server = &s;
        s.SetApp(this);
    }
    int OnMessage(TCPMessage* m) override
    {
        entered = true;
        Sleep(400);
        server->SendMessage(m);  // touches the server after the stop began
        finished = true;
        return 0;
    }
    JTCPServer* server = nullptr;
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
};

TEST(JTCPServer, DestroyWaitsForARunningOnMessage)
{
    DoomedServer<SlowApp> doomed(2);
    const int fd = ConnectLocal(doomed.path);
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(SendAll(fd, "slow"));
    ASSERT_TRUE(WaitUntil([&] { return doomed.app.entered.load(); }));

    doomed.server.reset();
    EXPECT_TRUE(doomed.app.finished);
    EXPECT_EQ(ReceiveUpTo(fd, 4, kReplyMs), "slow");
    EXPECT_TRUE(PeerClosed(fd, kReplyMs));
    close(fd);
    EXPECT_FALSE(PathExists(doomed.path));
    EXPECT_EQ(OpenDescriptorCount(), doomed.before);
}

}  // namespace
