// SPDX-License-Identifier: MIT
#include <fieldkit/collections/DWORDArray.h>

#include "OwningArrayTests.h"

#include <climits>

namespace {

struct DWORDArrayTraits {
    using Array = DWORDArray;
    using Value = unsigned long;
    static Value Make(int i) { return i == 0 ? ULONG_MAX : 10ul + static_cast<unsigned long>(i); }  // the full width
    static std::string Show(Value v) { return std::to_string(v); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(DWORDArray, OwningArrayTest, DWORDArrayTraits);

}  // namespace
