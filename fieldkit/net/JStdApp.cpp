// SPDX-License-Identifier: MIT
#include "JStdApp.h"

// Out of line so that the class's vtable and type information live in the library.
JStdApp::~JStdApp() = default;
