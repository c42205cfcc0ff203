#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the cross build and the
# fuzzers need, when any of them is missing.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev
          libbenchmark-dev g++-aarch64-linux-gnu qemu-user clang libclang-rt-14-dev util-linux)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""; [ "$(id -u)" = 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
