// SPDX-License-Identifier: MIT
#include "support/TestSupport.h"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <stdexcept>

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

std::string HeldAfterExec(const std::vector<int>& fds)
{
    std::string command = "for n in";
    for (int fd : fds)
        command += " " + std::to_string(fd);
    FILE* shell = popen((command + "; do [ -L /proc/self/fd/$n ] && printf '%s ' $n; done; exit 0").c_str(), "r");
    std::string held;
    char chunk[256];
    for (size_t n; shell && (n = fread(chunk, 1, sizeof chunk, shell)) > 0;)
        held.append(chunk, n);
    return shell && pclose(shell) == 0 ? held : "shell failed";
}

std::string Pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

SignalStorm::SignalStorm()
{
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, &old_);
    const pthread_t target = pthread_self();
    kicker_ = std::thread([this, target] {
        while (!done_.load()) {
            pthread_kill(target, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

SignalStorm::~SignalStorm()
{
    done_ = true;
    kicker_.join();
    sigaction(SIGUSR1, &old_, nullptr);
}

}  // namespace fktest
