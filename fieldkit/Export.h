// SPDX-License-Identifier: MIT
// FIELDKIT_API marks what libfieldkit exports. The library is built with hidden
// visibility, so everything without this mark stays internal to the .so.
#pragma once

#define FIELDKIT_API __attribute__((visibility("default")))

// FIELDKIT_LOCAL keeps a private member of an exported class out of the ABI.
#define FIELDKIT_LOCAL __attribute__((visibility("hidden")))
