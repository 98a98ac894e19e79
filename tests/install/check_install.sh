#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the build into a fresh prefix, then builds and runs a tiny consumer
# against it: through find_package(fieldkit), through pkg-config, and through
# pkg-config into a staged sysroot (DESTDIR) with PKG_CONFIG_SYSROOT_DIR, where
# every path must carry the sysroot exactly once.
# Usage: check_install.sh BUILD_DIR CONSUMER_SOURCE_DIR CXX
set -eu
build=$1 src=$2 cxx=$3
work=$(mktemp -d /tmp/fieldkit-install-XXXXXX)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

cmake -S "$src" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

# Builds the consumer with the flags pkg-config gives and runs it.
# Usage: pc_consumer OUTPUT LIBDIR FLAGS...
pc_consumer() {
    out=$1 libdir=$2
    shift 2
    "$cxx" -std=c++17 "$src/consumer.cpp" -o "$out" "$@" -Wl,-rpath,"$libdir"
    "$out"
}

pcdir=$(dirname "$(find "$work/prefix" -name fieldkit.pc)")
# shellcheck disable=SC2046 # pkg-config prints separate flags
pc_consumer "$work/consumer-pc" "$pcdir/.." $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs fieldkit)

sysroot=$work/sysroot
DESTDIR=$sysroot cmake --install "$build" --prefix /usr >/dev/null
pcdir=$(dirname "$(find "$sysroot" -name fieldkit.pc)")
flags=$(PKG_CONFIG_SYSROOT_DIR=$sysroot PKG_CONFIG_LIBDIR="$pcdir" pkg-config --cflags --libs fieldkit)
case $flags in
    *"-I$sysroot/usr/include "*"-L$sysroot/usr/lib"*) ;;
    *) echo "pkg-config flags miss the sysroot's include or library folder: $flags" >&2; exit 1 ;;
esac
for flag in $flags; do
    case $flag in
        -I"$sysroot"/usr/*|-L"$sysroot"/usr/*) ;;
        -l*) ;;
        *) echo "pkg-config flag without the sysroot: $flag" >&2; exit 1 ;;
    esac
    case $flag in
        *"$sysroot"*"$sysroot"*) echo "pkg-config flag with the sysroot twice: $flag" >&2; exit 1 ;;
    esac
done
# shellcheck disable=SC2086 # separate flags
pc_consumer "$work/consumer-sysroot" "${pcdir%/pkgconfig}" $flags
echo "install_consumer: find_package, pkg-config and sysroot pkg-config consumers ran ($flags)"
