#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the build into a fresh prefix, then builds and runs a tiny consumer
# against it: through find_package(fieldkit), through pkg-config, and through
# pkg-config into a staged sysroot (DESTDIR) with PKG_CONFIG_SYSROOT_DIR, where
# every path must carry the sysroot exactly once. A build with
# BUILD_SHARED_LIBS=OFF installs libfieldkit.a: its consumers are linked with
# `pkg-config --static` and must not need any libfieldkit.so at run time.
# Usage: check_install.sh BUILD_DIR CONSUMER_SOURCE_DIR CXX
set -eu
build=$1 src=$2 cxx=$3
work=$(mktemp -d /tmp/fieldkit-install-XXXXXX)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
kind=shared
if [ -n "$(find "$work/prefix" -name libfieldkit.a)" ]; then
    kind=static
    [ -z "$(find "$work/prefix" -name 'libfieldkit.so*')" ] || { echo "a static build installed libfieldkit.so" >&2; exit 1; }
fi

# Fails when a consumer of a static build needs libfieldkit.so, or one of a shared build does not.
# Usage: needs_library PROGRAM shared|static
needs_library() {
    if readelf -d "$1" | grep -q 'NEEDED.*libfieldkit\.so'; then needed=shared; else needed=static; fi
    [ $needed = "$2" ] || { echo "$1 links the library as $needed, the install has it $2" >&2; exit 1; }
}

cmake -S "$src" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"
needs_library "$work/cmake/consumer" $kind

# The flags pkg-config gives a consumer of this install, in the environment VAR=value...
# Usage: pc_flags [VAR=value...]
pc_flags() {
    if [ $kind = static ]; then
        env "$@" pkg-config --static --cflags --libs fieldkit
    else
        env "$@" pkg-config --cflags --libs fieldkit
    fi
}

# Builds the consumer with the flags pkg-config gives and runs it.
# Usage: pc_consumer OUTPUT LIBDIR FLAGS...
pc_consumer() {
    out=$1 libdir=$2
    shift 2
    "$cxx" -std=c++17 "$src/consumer.cpp" -o "$out" "$@" -Wl,-rpath,"$libdir"
    "$out"
    needs_library "$out" $kind
}


pcdir=$(dirname "$(find "$work/prefix" -name fieldkit.pc)")
# shellcheck disable=SC2046 # pkg-config prints separate flags
pc_consumer "$work/consumer-pc" "$pcdir/.." $(pc_flags PKG_CONFIG_PATH="$pcdir")

sysroot=$work/sysroot
DESTDIR=$sysroot cmake --install "$build" --prefix /usr >/dev/null
pcdir=$(dirname "$(find "$sysroot" -name fieldkit.pc)")
flags=$(pc_flags PKG_CONFIG_SYSROOT_DIR="$sysroot" PKG_CONFIG_LIBDIR="$pcdir")
case $flags in
    *"-I$sysroot/usr/include "*"-L$sysroot/usr/lib"*) ;;
    *) echo "pkg-config flags miss the sysroot's include or library folder: $flags" >&2; exit 1 ;;
esac
for flag in $flags; do
    case $flag in
        -I"$sysroot"/usr/*|-L"$sysroot"/usr/*) ;;
        -l*|-pthread) ;;
        *) echo "pkg-config flag without the sysroot: $flag" >&2; exit 1 ;;
    esac
    case $flag in
        *"$sysroot"*"$sysroot"*) echo "pkg-config flag with the sysroot twice: $flag" >&2; exit 1 ;;
    esac
done
# shellcheck disable=SC2086 # separate flags
pc_consumer "$work/consumer-sysroot" "${pcdir%/pkgconfig}" $flags
echo "install_consumer: $kind library: find_package, pkg-config and sysroot pkg-config consumers ran ($flags)"
