// SPDX-License-Identifier: MIT
#include "support/FailingAllocator.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

// The C library's own allocator under its second names.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<long> countdown{0};  // allocations left until the armed one; 0: disarmed
std::atomic<bool> fired{false};  // the armed allocation has failed
std::atomic<long> live{0};       // blocks handed out and not yet freed
std::atomic<long> made{0};       // blocks handed out so far
std::atomic<std::size_t> last_size{0};

// True for the armed allocation; it also sets errno as the C library would.
bool fail_now()
{
    long left = countdown.load();
    while (left > 0 && !countdown.compare_exchange_weak(left, left - 1)) {
    }
    if (left != 1)
        return false;
    fired = true;
    errno = ENOMEM;
    return true;
}

void* counted(void* block, std::size_t size)
{
    if (block)
        ++live, ++made, last_size = size;
    return block;
}

}  // namespace

namespace fktest {

void FailAllocation(long n) { fired = false, countdown = n; }
bool Disarm() { return countdown = 0, fired.exchange(false); }

long LiveBlocks() { return live.load(); }
long Allocations() { return made.load(); }
std::size_t LastSize() { return last_size.load(); }

}  // namespace fktest

#ifdef FKTEST_SANITIZED

void* operator new(std::size_t size)
{
    void* block = fail_now() ? nullptr : counted(std::malloc(size ? size : 1), size);
    if (!block)
        throw std::bad_alloc();
    return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try { return operator new(size); } catch (const std::bad_alloc&) { return nullptr; }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { if (block) --live; std::free(block); }
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { operator delete(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { operator delete(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { operator delete(block); }

#else

// Aligned blocks come only from aligned_alloc (aligned operator new); memalign or posix_memalign
// would go uncounted, then show as a negative count once freed.
extern "C" {

void* malloc(std::size_t size) noexcept { return fail_now() ? nullptr : counted(__libc_malloc(size), size); }

void* calloc(std::size_t count, std::size_t size) noexcept { return fail_now() ? nullptr : counted(__libc_calloc(count, size), count * size); }
void* aligned_alloc(std::size_t align, std::size_t size) noexcept { return fail_now() ? nullptr : counted(__libc_memalign(align, size), size); }

void free(void* block) noexcept { if (block) --live; __libc_free(block); }

void* realloc(void* block, std::size_t size) noexcept
{
    if (!block)
        return malloc(size);
    if (size == 0) {  // the C library frees the block and gives null
        free(block);
        return nullptr;
    }
    return fail_now() ? nullptr : __libc_realloc(block, size);  // one block in, one out
}

}  // extern "C"

#endif
