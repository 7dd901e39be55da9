#!/usr/bin/env bash
# Installs the library from a build tree into a scratch prefix and builds and
# runs a consumer against it through the CMake package and pkg-config.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix/usr" > /dev/null
export PKG_CONFIG_PATH="$prefix/usr/lib/pkgconfig:$prefix/usr/lib/$(gcc -print-multiarch 2>/dev/null)/pkgconfig"
cmake -S "$here" -B "$prefix/consumer" -DCMAKE_PREFIX_PATH="$prefix/usr" > /dev/null
cmake --build "$prefix/consumer" > /dev/null
libdir=$(dirname "$(find "$prefix/usr" -name 'libquorvel_transport.so.0' | head -n 1)")
LD_LIBRARY_PATH="$libdir" "$prefix/consumer/consumer_cmake"
LD_LIBRARY_PATH="$libdir" "$prefix/consumer/consumer_pkgconfig"
objdump -p "$libdir/libquorvel_transport.so.0" | grep -q 'SONAME *libquorvel_transport.so.0'
echo "install check passed"
