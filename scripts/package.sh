#!/usr/bin/env bash
# Builds the Debian packages (cmake/OsalPackaging.cmake) into
# build/packages/<architecture>/: amd64 natively, arm64 with the aarch64
# cross compiler.
#   scripts/package.sh [amd64|arm64]...   (default: both)
# OSAL_WERROR=ON turns warnings into errors, as CI does.
set -euo pipefail
cd "$(dirname "$0")/.."
architectures=("$@")
[ ${#architectures[@]} -gt 0 ] || architectures=(amd64 arm64)
for arch in "${architectures[@]}"; do
  case "$arch" in
    amd64) scripts/deps.sh package; multiarch=x86_64-linux-gnu; toolchain=() ;;
    arm64) scripts/deps.sh package cross; multiarch=aarch64-linux-gnu
           toolchain=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake") ;;
    *) echo "package.sh: unknown architecture $arch" >&2; exit 2 ;;
  esac
  build="build/package-$arch"
  out="$PWD/build/packages/$arch"
  cmake -S . -B "$build" -G Ninja "${toolchain[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" -DOSAL_WERROR="${OSAL_WERROR:-OFF}" \
    -DOSAL_BUILD_TESTS=OFF -DOSAL_BUILD_EXAMPLES=OFF -DOSAL_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$build"
  rm -rf "$out"
  (cd "$build" && cpack -G DEB -B "$out" >/dev/null)
  rm -rf "$out/_CPack_Packages"
  echo "$arch:"; ls "$out"
done
