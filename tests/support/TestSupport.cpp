// SPDX-License-Identifier: MIT
#include "support/TestSupport.h"

#include <netinet/in.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return "no pipe";
    std::vector<std::string> args{"sh", "-c", "for n; do [ -L /proc/self/fd/$n ] && printf '%s ' $n; done; exit 0", "sh"};
    for (int fd : fds)
        args.push_back(std::to_string(fd));
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);  // dup2 clears close-on-exec on the copy
        execv("/bin/sh", argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string held;
    char chunk[256];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;)
        held.append(chunk, static_cast<size_t>(n));
    close(out[0]);
    int status = -1;
    waitpid(child, &status, 0);
    return status == 0 ? held : "shell failed";
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
