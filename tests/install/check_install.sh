#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, checks that nothing but the
# product landed there, then builds and runs a tiny
# consumer against it twice: once through find_package(osal), once through
# pkg-config. Nothing runs with LD_LIBRARY_PATH: the installed libraries
# find their siblings through their own run path, also after the whole
# prefix has been moved.
set -euo pipefail
build=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
# The product only: no file that only a Debian package carries, no header
# internal to a library.
for unwanted in share/doc share/lintian include/property/store/process_store.h \
                include/property/store/in_place_journal.h; do
  if [ -e "$prefix/$unwanted" ]; then echo "installed, but no part of the product: $unwanted" >&2; exit 1; fi
done
libdir=$(ls -d "$prefix"/lib*/ | head -n 1)
libdir=${libdir%/}
unset LD_LIBRARY_PATH

cmake -S "$here/consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# A consumer of a custom prefix names the prefix's library folder once; the
# libraries it loads bring their own dependencies.
c++ -std=c++17 "$here/consumer/consumer.cpp" -o "$work/pkgconfig-consumer" \
  $(pkg-config --cflags --libs osal property) -Wl,-rpath,"$libdir"
"$work/pkgconfig-consumer"

"$prefix/bin/propctl" --version
mv "$prefix" "$work/moved"
"$work/moved/bin/propctl" --version >/dev/null
echo "moved prefix: propctl still starts"
