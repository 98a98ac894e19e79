#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the build into a fresh prefix, then builds and runs a tiny consumer
# against it twice: through find_package(fieldkit) and through pkg-config.
# Usage: check_install.sh BUILD_DIR CONSUMER_SOURCE_DIR CXX
set -eu
build=$1 src=$2 cxx=$3
work=$(mktemp -d /tmp/fieldkit-install-XXXXXX)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

cmake -S "$src" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

libdir=$(dirname "$(find "$work/prefix" -name fieldkit.pc)")/..
flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs fieldkit)
# shellcheck disable=SC2086
"$cxx" -std=c++17 "$src/consumer.cpp" -o "$work/consumer-pc" $flags -Wl,-rpath,"$libdir"
"$work/consumer-pc"
echo "install_consumer: find_package and pkg-config consumers ran"
