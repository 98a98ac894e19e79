// SPDX-License-Identifier: MIT
#include "listener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace demo {

namespace {

std::string error_text(int error)
{
    return std::strerror(error);
}

sockaddr_un address_of(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// What a connection attempt to the socket at `path` meets: 0 when it was
// accepted or the backlog is full (something serves there), else the errno
// (ECONNREFUSED: nothing listens, the socket is stale). Never blocks.
int probe_connect(const std::string& path)
{
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe == -1)
        return errno;
    const sockaddr_un address = address_of(path);
    const int result = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = result == 0 || errno == EAGAIN ? 0 : errno;
    close(probe);
    return error;
}

}  // namespace

bound_listener::~bound_listener()
{
    if (fd_ != -1)
        close(fd_);
    struct stat now {};
    if (bound_ && lstat(path_.c_str(), &now) == 0 && now.st_dev == device_ && now.st_ino == inode_)
        unlink(path_.c_str());
}

bool bound_listener::refuse(const std::string& reason)
{
    why_ = reason;
    return false;
}

// A socket at path_ that nothing answers on is removed; anything else stays.
bool bound_listener::clear_stale_socket()
{
    struct stat info {};
    if (lstat(path_.c_str(), &info) != 0)
        return errno == ENOENT || refuse("cannot inspect " + path_ + ": " + error_text(errno));
    if (!S_ISSOCK(info.st_mode))
        return refuse(path_ + " exists and is not a socket; it is left alone");
    const int met = probe_connect(path_);
    if (met == 0)
        return refuse("another process is serving on " + path_);
    if (met != ECONNREFUSED)
        return refuse("cannot tell whether " + path_ + " is in use: " + error_text(met));
    if (unlink(path_.c_str()) != 0 && errno != ENOENT)
        return refuse("cannot remove the stale socket " + path_ + ": " + error_text(errno));
    return true;
}

bool bound_listener::open(const char* path, mode_t mode, int backlog)
{
    path_ = path;
    if (path_.empty() || path_.size() >= sizeof(sockaddr_un{}.sun_path))
        return refuse("cannot use " + path_ + " as a socket path: " + error_text(ENAMETOOLONG));
    if (!clear_stale_socket())
        return false;
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ == -1)
        return refuse("cannot make a socket: " + error_text(errno));
    const sockaddr_un address = address_of(path_);
    // The file is born with `mode` (no wider window), then set to it explicitly.
    const mode_t old_mask = umask(~mode & 0777);
    const int bound = bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bind_error = errno;
    umask(old_mask);
    if (bound != 0)
        return refuse("cannot bind " + path_ + ": " + error_text(bind_error));
    struct stat info {};
    bound_ = lstat(path_.c_str(), &info) == 0;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    if (chmod(path_.c_str(), mode) != 0)
        return refuse("cannot set the mode of " + path_ + ": " + error_text(errno));
    if (listen(fd_, backlog) != 0)
        return refuse("cannot listen on " + path_ + ": " + error_text(errno));
    return true;
}

int bound_listener::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

}  // namespace demo
