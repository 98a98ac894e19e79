#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ftw.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
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
    nftw(
        dir_.c_str(),
        [](const char* p, const struct stat*, int, FTW*) { return remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
}

int OpenDescriptorCount()
{
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n - 1;  // the directory stream's own descriptor
}

bool PathExists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

int FreeLoopbackPort(int sock_type)
{
    int s = socket(AF_INET, sock_type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
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
