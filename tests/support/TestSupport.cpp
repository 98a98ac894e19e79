// SPDX-License-Identifier: MIT
#include "support/TestSupport.h"

#include <netinet/in.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

SocketPair::SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }

SocketPair::~SocketPair()
{
    for (int fd : fds)
        if (fd != -1)
            close(fd);
}

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

namespace {

constexpr const char* kHeldFdsVariable = "FKTEST_HELD_FDS";

// A test program started again by HeldAfterExec without a shell answers the
// question and exits before the test runner starts.
__attribute__((constructor)) void answer_held_fds()
{
    const char* list = getenv(kHeldFdsVariable);
    if (!list)
        return;
    std::string held;
    for (char* end = nullptr;; list = end) {
        const long fd = strtol(list, &end, 10);
        if (end == list)
            break;
        if (fcntl(static_cast<int>(fd), F_GETFD) != -1)
            held += std::to_string(fd) + " ";
    }
    const ssize_t written = write(STDOUT_FILENO, held.data(), held.size());
    _exit(written == static_cast<ssize_t>(held.size()) ? 0 : 1);
}

// Forks and execs: a shell where there is one (the test program itself may be
// an emulated binary that the kernel cannot exec), else the test program again.
// The child's standard output goes to `out`.
pid_t start_probe(const std::string& list, int out)
{
    const std::string script = "for n in " + list + "; do [ -L /proc/self/fd/$n ] && printf '%s ' $n; done; exit 0";
    const std::string variable = std::string(kHeldFdsVariable) + "=" + list;
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        env.push_back(*e);
    env.push_back(const_cast<char*>(variable.c_str()));
    env.push_back(nullptr);
    const bool shell = access("/bin/sh", X_OK) == 0;
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    dup2(out, STDOUT_FILENO);
    if (shell)
        execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    else
        execle("/proc/self/exe", "probe", static_cast<char*>(nullptr), env.data());
    _exit(127);
}

}  // namespace

std::string HeldAfterExec(const std::vector<int>& fds)
{
    std::string list;
    for (int fd : fds)
        list += std::to_string(fd) + " ";
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return "probe failed";
    const pid_t pid = start_probe(list, pipe_fds[1]);
    close(pipe_fds[1]);
    std::string held;
    char chunk[256];
    for (ssize_t n; (n = read(pipe_fds[0], chunk, sizeof chunk)) > 0;)
        held.append(chunk, static_cast<size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    const bool ok = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return ok ? held : "probe failed";
}

std::string Pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

SignalStorm::SignalStorm(bool restart)
{
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sa.sa_flags = restart ? SA_RESTART : 0;
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
