#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds libfieldkit.a (BUILD_SHARED_LIBS=OFF) from the source tree into
# BUILD_DIR with the same compiler and build type, then runs the install check
# on it: same layout, CMake package and fieldkit.pc, statically linked consumers.
# Usage: check_static.sh SOURCE_DIR BUILD_DIR BUILD_TYPE CONSUMER_SOURCE_DIR CXX
set -eu
src=$1 build=$2 type=$3 consumer=$4 cxx=$5
cmake -S "$src" -B "$build" -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DFIELDKIT_BUILD_EXAMPLES=OFF \
    -DFIELDKIT_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE="$type" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j 2 >/dev/null
[ -f "$build/fieldkit/libfieldkit.a" ] || { echo "no libfieldkit.a in $build/fieldkit" >&2; exit 1; }
exec "$(dirname "$0")/check_install.sh" "$build" "$consumer" "$cxx"
