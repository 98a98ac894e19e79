// SPDX-License-Identifier: MIT
#include "Connection.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace fieldkit::detail {

namespace {

constexpr size_t kFirstCapacity = 4096;

// One non-blocking write; bytes written, or -1 with errno.
ssize_t write_some(int fd, const char* buf, size_t len)
{
    ssize_t n;
    do
        n = send(fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n;
}

bool would_block()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

}  // namespace

uint32_t monotonic_ms()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

Connection::~Connection()
{
    std::free(queue_);
}

void Connection::open(int fd, const PeerIdentity& peer, int reader, uint32_t now_ms)
{
    std::lock_guard<std::mutex> guard(lock_);
    fd_ = fd;
    peer_ = peer;
    reader_.store(reader, std::memory_order_release);
    heard_at_ms = now_ms;
    messages_in = 0;
    draining = false;
    over_limit.store(false, std::memory_order_release);
}

void Connection::close()
{
    std::lock_guard<std::mutex> guard(lock_);
    fd_ = -1;
    drop_queue();
}

SendResult Connection::send(int fd, const char* buf, size_t len, size_t limit)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (fd_ != fd || fd == -1)
        return SendResult::kNotOurs;
    size_t taken = 0;
    if (head_ == size_) {  // nothing queued: straight to the socket
        const ssize_t n = write_some(fd, buf, len);
        if (n < 0 && !would_block())
            return SendResult::kLost;
        taken = n > 0 ? static_cast<size_t>(n) : 0;
        if (taken == len)
            return SendResult::kSent;
    }
    if (!enqueue(buf + taken, len - taken, limit))
        return SendResult::kOverLimit;
    return SendResult::kQueued;
}

bool Connection::enqueue(const char* buf, size_t len, size_t limit)
{
    const size_t queued = size_ - head_;
    if (limit != 0 && len > limit - queued)
        return false;
    if (size_ + len > capacity_) {
        if (head_ > 0) {  // move what waits to the front first
            std::memmove(queue_, queue_ + head_, queued);
            size_ = queued;
            head_ = 0;
        }
        size_t capacity = capacity_ ? capacity_ : kFirstCapacity;
        while (capacity < size_ + len)
            capacity *= 2;
        if (capacity != capacity_) {
            char* grown = static_cast<char*>(std::realloc(queue_, capacity));
            if (!grown)
                return false;  // out of memory: treated like the limit
            queue_ = grown;
            capacity_ = capacity;
        }
    }
    std::memcpy(queue_ + size_, buf, len);
    size_ += len;
    if (queued == 0) {
        output_since_ms_.store(monotonic_ms(), std::memory_order_release);
        has_output_.store(true, std::memory_order_release);
    }
    return true;
}

FlushResult Connection::flush()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (fd_ == -1)
        return FlushResult::kLost;
    while (head_ < size_) {
        const ssize_t n = write_some(fd_, queue_ + head_, size_ - head_);
        if (n < 0)
            return would_block() ? FlushResult::kPending : FlushResult::kLost;
        head_ += static_cast<size_t>(n);
    }
    drop_queue();
    return FlushResult::kDrained;
}

bool Connection::speaks_for(int fd)
{
    std::lock_guard<std::mutex> guard(lock_);
    return fd != -1 && fd_ == fd;
}

size_t Connection::queued_bytes()
{
    std::lock_guard<std::mutex> guard(lock_);
    return size_ - head_;
}

void Connection::drop_queue()
{
    head_ = size_ = 0;
    has_output_.store(false, std::memory_order_release);
    if (capacity_ > kFirstCapacity) {  // a burst does not keep its memory
        std::free(queue_);
        queue_ = nullptr;
        capacity_ = 0;
    }
}

}  // namespace fieldkit::detail
