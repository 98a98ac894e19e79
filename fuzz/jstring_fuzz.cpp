// SPDX-License-Identifier: MIT
// libFuzzer target: JString against its literal model. Every input is a
// sequence of operations; any difference in a result, a text or a length
// prints the difference and aborts.
#include "../tests/strings/JStringDriver.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string failure;
    if (!JStringDriver(data, size).Run(&failure)) {
        std::fprintf(stderr, "JString differs from the model: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
