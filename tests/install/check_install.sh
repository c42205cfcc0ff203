#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, then builds and runs a tiny
# consumer against it twice: once through find_package(osal), once through
# pkg-config.
set -euo pipefail
build=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(ls -d "$prefix"/lib*/ | head -n 1)

cmake -S "$here/consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
c++ -std=c++17 "$here/consumer/consumer.cpp" -o "$work/pkgconfig-consumer" \
  $(pkg-config --cflags --libs osal property) -Wl,-rpath-link,"$libdir"
LD_LIBRARY_PATH="$libdir" "$work/pkgconfig-consumer"
