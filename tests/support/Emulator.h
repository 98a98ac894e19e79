// SPDX-License-Identifier: MIT
// Whether the test program runs under a user-mode emulator (any qemu-user):
// such an emulator hands system calls to the build machine's kernel and lacks
// some socket options, so a few tests expect its answers instead.
#pragma once

namespace fktest {

bool UnderUserModeEmulator();

}  // namespace fktest
