// SPDX-License-Identifier: MIT
// A heap that runs out on demand, for the programs built with FailingAllocator.cpp. In a plain build it
// defines malloc, calloc, realloc, free and aligned_alloc, so the library and operator new allocate
// through them; under the sanitizers (FKTEST_SANITIZED), whose runtimes own those, it defines the
// operator new and delete family instead. All but the armed allocation go on to the C library; blocks
// are counted (atomically, for any thread).
#pragma once

#include <cstddef>

namespace fktest {

void FailAllocation(long n);  // the nth allocation from now fails (1: the next one); 0 disarms
bool Disarm();                // disarms; true when the armed allocation failed since FailAllocation
long LiveBlocks();            // blocks allocated and not yet freed
long Allocations();           // blocks allocated so far
std::size_t LastSize();       // bytes asked by the latest allocation

}  // namespace fktest
