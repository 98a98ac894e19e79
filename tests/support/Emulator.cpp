// SPDX-License-Identifier: MIT
#include "support/Emulator.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace fktest {
namespace {

std::string LinkAt(int dir, const char* name)
{
    char target[4096];
    const ssize_t n = readlinkat(dir, name, target, sizeof target);
    return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

}  // namespace

// A user-mode emulator runs the program inside its own process and answers
// "/proc/self/exe" with the program's path; the kernel's link, read relative to
// a descriptor of /proc/self, still names the emulator. Natively both agree.
bool UnderUserModeEmulator()
{
    const int self = open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (self < 0)
        return false;
    const std::string kernels = LinkAt(self, "exe");
    close(self);
    return kernels != LinkAt(AT_FDCWD, "/proc/self/exe");
}

}  // namespace fktest
