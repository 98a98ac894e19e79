// SPDX-License-Identifier: MIT
#include "service.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <initializer_list>

namespace demo {

namespace {

constexpr int kFirstPassedFd = 3;  // the first descriptor a service manager passes

// A whole decimal number in `text`, or -1.
long parse_count(const char* text)
{
    if (!text || !*text)
        return -1;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    return (errno == 0 && *end == '\0' && value >= 0) ? value : -1;
}

sigset_t watched_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
        sigaddset(&set, signal_number);
    return set;
}

}  // namespace

int inherited_listener()
{
    const long pid = parse_count(std::getenv("LISTEN_PID"));
    const long fds = parse_count(std::getenv("LISTEN_FDS"));
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    return (pid == static_cast<long>(getpid()) && fds >= 1) ? kFirstPassedFd : -1;
}

stop_signals::stop_signals() : fd_(-1)
{
    signal(SIGPIPE, SIG_IGN);
    const sigset_t set = watched_signals();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0)
        fd_ = signalfd(-1, &set, SFD_CLOEXEC);
}

stop_signals::~stop_signals()
{
    if (fd_ != -1)
        close(fd_);
}

bool stop_signals::usable() const
{
    return fd_ != -1;
}

int stop_signals::wait()
{
    signalfd_siginfo info {};
    for (;;) {
        const ssize_t got = read(fd_, &info, sizeof info);
        if (got == static_cast<ssize_t>(sizeof info))
            return static_cast<int>(info.ssi_signo);
        if (got == -1 && errno != EINTR)
            return 0;
    }
}

}  // namespace demo
