// SPDX-License-Identifier: MIT
/// @file
/// Export marks of libfieldkit. The library is built with hidden visibility, so
/// everything without FIELDKIT_API stays internal to the .so.
#pragma once

/// Marks a class or function that libfieldkit exports.
#define FIELDKIT_API __attribute__((visibility("default")))

/// Keeps a private member of an exported class out of the ABI.
#define FIELDKIT_LOCAL __attribute__((visibility("hidden")))
