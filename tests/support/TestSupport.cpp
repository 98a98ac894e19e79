// SPDX-License-Identifier: MIT
#include "support/TestSupport.h"

#include <netinet/in.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace fktest {

TempDir::TempDir()
{
    char tmpl[] = "/tmp/fieldkit-test-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

int OpenDescriptorCount()
{
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<int>(std::distance(begin(fds), end(fds))) - 1;  // less the iterator's own
}

bool PathExists(const std::string& path) { return std::filesystem::exists(std::filesystem::symlink_status(path)); }

int FreeLoopbackPort(int sock_type)
{
    const int s = socket(AF_INET, sock_type, 0);
    sockaddr_in a{AF_INET, 0, {htonl(kLoopback)}, {}};
    socklen_t len = sizeof a;
    const bool bound = bind(s, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
                       getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    close(s);
    return bound ? ntohs(a.sin_port) : -1;
}

int InheritableDescriptorCount()
{
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        n += fcntl(std::stoi(entry.path().filename()), F_GETFD) == 0;  // the iterator's own is close-on-exec
    return n;
}

int SendBoundMs(int fd)
{
    timeval bound{};
    socklen_t size = sizeof bound;
    getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, &size);
    return static_cast<int>(bound.tv_sec * 1000 + bound.tv_usec / 1000);
}

SocketPair::SocketPair(int type) { socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds); }

SocketPair::~SocketPair()
{
    for (int fd : fds)
        if (fd != -1)
            close(fd);
}

int SocketPair::Give() { return std::exchange(fds[0], -1); }

void Fill(int fd)
{
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const char chunk[512] = {};
    while (send(fd, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
    }
}

std::string Drain(int fd)
{
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    return got;
}

std::string Pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

SignalStorm::SignalStorm(int every_ms, int times, std::function<void()> before, bool restart)
{
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sa.sa_flags = restart ? SA_RESTART : 0;
    sigaction(SIGUSR1, &sa, &old_);
    const pthread_t target = pthread_self();
    kicker_ = std::thread([this, target, every_ms, times, before] {
        for (int sent = 0; times < 0 || sent < times; ++sent) {
            std::this_thread::sleep_for(std::chrono::milliseconds(every_ms));
            if (done_.load())
                return;
            if (before)
                before();
            pthread_kill(target, SIGUSR1);
        }
    });
}

SignalStorm::~SignalStorm()
{
    done_ = true;
    kicker_.join();
    sigaction(SIGUSR1, &old_, nullptr);
}

std::string LinkAt(int dir, const char* name)
{
    char target[4096];
    const ssize_t n = readlinkat(dir, name, target, sizeof target);
    return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

// A user-mode emulator runs the program inside its own process and answers
// "/proc/self/exe" with the program's path; the kernel's link, read relative to
// a descriptor of /proc/self, still names the emulator. Natively both agree.
bool UnderUserModeEmulator()
{
    const int self = open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (self < 0)
        return false;
    const std::string kernels = LinkAt(self, "exe");
    close(self);
    return kernels != LinkAt(AT_FDCWD, "/proc/self/exe");
}

}  // namespace fktest
