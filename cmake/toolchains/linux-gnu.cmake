# SPDX-License-Identifier: MIT
# Cross build for Linux with Debian's cross compiler g++-<triplet>; the triplet
# comes from FIELDKIT_TARGET_TRIPLET (-DFIELDKIT_TARGET_TRIPLET=aarch64-linux-gnu).
# The libraries and headers of the target are those of the cross sysroot
# /usr/<triplet>; test programs run through the matching qemu-user with that
# sysroot as its library prefix.
if(NOT FIELDKIT_TARGET_TRIPLET)
  message(FATAL_ERROR "linux-gnu.cmake needs FIELDKIT_TARGET_TRIPLET, e.g. powerpc-linux-gnu")
endif()
# try_compile projects read this file again and need the triplet too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FIELDKIT_TARGET_TRIPLET)

# triplet, CMAKE_SYSTEM_PROCESSOR, qemu-user program, Debian architecture
set(fieldkit_cross_targets
    "powerpc-linux-gnu powerpc qemu-ppc powerpc"
    "arm-linux-gnueabihf arm qemu-arm armhf"
    "aarch64-linux-gnu aarch64 qemu-aarch64 arm64"
    "mips-linux-gnu mips qemu-mips mips"
    "riscv64-linux-gnu riscv64 qemu-riscv64 riscv64")
foreach(row IN LISTS fieldkit_cross_targets)
  separate_arguments(fields UNIX_COMMAND "${row}")
  list(GET fields 0 triplet)
  if(triplet STREQUAL FIELDKIT_TARGET_TRIPLET)
    list(GET fields 1 CMAKE_SYSTEM_PROCESSOR)
    list(GET fields 2 fieldkit_qemu)
    # Debian architecture of the packages this build makes with CPack.
    list(GET fields 3 CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  endif()
endforeach()
if(NOT fieldkit_qemu)
  message(FATAL_ERROR "linux-gnu.cmake knows no target ${FIELDKIT_TARGET_TRIPLET}")
endif()
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${FIELDKIT_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FIELDKIT_TARGET_TRIPLET}-g++)

set(fieldkit_sysroot /usr/${FIELDKIT_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${fieldkit_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${fieldkit_qemu} -L ${fieldkit_sysroot})

# dpkg-shlibdeps resolves the C and C++ runtime in the cross sysroot.
set(FIELDKIT_DEB_SYSROOT_LIBDIR ${fieldkit_sysroot}/lib)
