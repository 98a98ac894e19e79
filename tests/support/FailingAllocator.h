// SPDX-License-Identifier: MIT
// A heap that can run out on demand. A test program built with
// FailingAllocator.cpp defines malloc, calloc, realloc, free and
// aligned_alloc itself; the library and the C++ runtime (operator new included) then
// allocate through them. Each forwards to the C library's own allocator,
// except the one allocation that was armed to fail, and every live block is
// counted. Counters are atomic, so any thread may allocate.
//
// Not for the sanitizer builds: their runtimes replace the same functions.
#pragma once

namespace fktest {

// Makes the nth allocation from now fail (1: the next one); the ones before
// and after it succeed. 0 disarms.
void FailAllocation(long n);

// Disarms; true when the armed allocation has failed since FailAllocation.
bool Disarm();

// Blocks allocated and not yet freed.
long LiveBlocks();

}  // namespace fktest
