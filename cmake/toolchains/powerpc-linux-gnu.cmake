# SPDX-License-Identifier: MIT
# Cross build for 32-bit big-endian PowerPC with Debian's g++-powerpc-linux-gnu.
# Test binaries run through qemu-ppc with the cross sysroot as its library prefix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

set(FIELDKIT_PPC_SYSROOT /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${FIELDKIT_PPC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L ${FIELDKIT_PPC_SYSROOT})

# Debian architecture of the packages this build makes with CPack.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE powerpc)
# dpkg-shlibdeps resolves the C and C++ runtime in the cross sysroot.
set(FIELDKIT_DEB_SYSROOT_LIBDIR ${FIELDKIT_PPC_SYSROOT}/lib)
