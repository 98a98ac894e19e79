// SPDX-License-Identifier: MIT
// A heap that runs out on demand: a program built with FailingAllocator.cpp defines malloc, calloc,
// realloc, free and aligned_alloc, so the library and operator new allocate through them; all but the
// armed allocation forward to the C library, and live blocks are counted (atomically, for any thread).
// Not for the sanitizer builds: their runtimes replace the same functions.
#pragma once

namespace fktest {

void FailAllocation(long n);  // the nth allocation from now fails (1: the next one); 0 disarms
bool Disarm();                // disarms; true when the armed allocation failed since FailAllocation
long LiveBlocks();            // blocks allocated and not yet freed

}  // namespace fktest
