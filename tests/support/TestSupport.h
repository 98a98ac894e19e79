// SPDX-License-Identifier: MIT
// Helpers shared by the test programs: a temporary directory, the descriptor count, a socket pair,
// free loopback ports, a byte pattern, signals, a timer, the copy checks of the value arrays, and
// whether a user-mode emulator runs the program.
#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

namespace fktest {

// A fresh directory under /tmp, removed recursively when the object goes,
// also when the test failed. path("x") names a file inside it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dir_; }
    std::string path(const std::string& leaf) const { return dir_ + "/" + leaf; }

private:
    std::string dir_;
};

// Number of descriptors the process holds now (entries of /proc/self/fd).
int OpenDescriptorCount();

// True when `path` names an existing file system entry.
bool PathExists(const std::string& path);

// A port on 127.0.0.1 that was free a moment ago (SOCK_STREAM or SOCK_DGRAM).
int FreeLoopbackPort(int sock_type);

// How many descriptors an exec'd program would inherit now (open and not close-on-exec).
int InheritableDescriptorCount();

// The send bound of `fd` (SO_SNDTIMEO) in milliseconds.
int SendBoundMs(int fd);

// A connected local socket pair (SOCK_STREAM unless told), both ends close-on-exec;
// closes the ends it still holds. Give() hands fds[0] over.
struct SocketPair {
    explicit SocketPair(int type = SOCK_STREAM);
    ~SocketPair();
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    int Give();
    int fds[2] = {-1, -1};
};

// Shrinks `fd`'s send buffer and writes until it takes no more: its next write gets EAGAIN.
void Fill(int fd);

// Everything readable on `fd` now, without waiting.
std::string Drain(int fd);

// `n` bytes "abc...zabc...", for transfers whose pieces must reassemble in order.
std::string Pattern(std::size_t n);

// While in scope, a helper thread sends SIGUSR1 to the constructing thread every
// `every_ms` ms, `times` times (-1: until the end of the scope), calling `before` ahead
// of each. The handler does nothing and is installed without SA_RESTART unless
// `restart` asks for it, so blocking calls of that thread really see EINTR (with
// SA_RESTART, only those the kernel does not restart). The old handler returns after.
class SignalStorm {
public:
    explicit SignalStorm(int every_ms = 20, int times = -1, std::function<void()> before = {}, bool restart = false);
    ~SignalStorm();
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;

private:
    struct sigaction old_ {};
    std::atomic<bool> done_{false};
    std::thread kicker_;
};

// Success when f() took at least `least` and less than `most` ms (monotonic clock).
template <typename F>
::testing::AssertionResult TakesMs(double least, double most, F f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - start;
    return ::testing::AssertionResult(ms.count() >= least && ms.count() < most) << "took " << ms.count() << " ms";
}

// For an array class with copying, assignment and +=: copies, assigned and appended
// arrays show the elements of `source` as `of(array)` renders them (emptied slots
// included), also once the array they came from is gone (a shallow copy shows under
// the sanitizers); a = a keeps them; a += a doubles them as a += (a copy) does.
template <typename Array, typename Of>
void ExpectDeepCopies(Array& source, Of of)
{
    auto original = std::make_unique<Array>(source);
    Array copied(*original);
    Array assigned;
    assigned = *original;
    Array appended;
    appended += *original;
    original.reset();
    EXPECT_EQ(of(copied), of(source));
    EXPECT_EQ(of(appended), of(source));
    Array& alias = assigned;
    assigned = alias;
    EXPECT_EQ(of(assigned), of(source));
    assigned += alias;
    appended += copied;
    EXPECT_EQ(of(assigned), of(appended));
}

// True under a user-mode emulator (any qemu-user), which hands system calls to the build machine's
// kernel and lacks some socket options: a few tests expect its answers instead.
bool UnderUserModeEmulator();

// 127.0.0.1 as a host number, the form JSocket::ip_addr takes.
constexpr unsigned int kLoopback = 0x7F000001u;

}  // namespace fktest
