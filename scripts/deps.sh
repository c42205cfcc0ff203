#!/usr/bin/env bash
# Installs the Debian packages a stage needs, when any of them is missing.
#   scripts/deps.sh [GROUP...]
# The native build, its tests and the demo need the base group only; add
#   bench    Google Benchmark (bench/ is built when it is installed), and the
#            GLib and Asio queues the message queue is measured against
#   cross    the aarch64 cross compiler and qemu's user-mode emulator
#   fuzz     clang and its libFuzzer runtime
#   package  what cpack's Debian generator runs (dpkg-shlibdeps, dpkg-gensymbols, file)
#   check    what the package check runs (lintian, man, bash completion)
#   abi      libabigail's abidw and abidiff, xz for the baseline
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev util-linux)
for group in "$@"; do
  case "$group" in
    bench) packages+=(libbenchmark-dev libglib2.0-dev libasio-dev) ;;
    cross) packages+=(g++-aarch64-linux-gnu qemu-user) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    package) packages+=(dpkg-dev file) ;;
    check) packages+=(lintian man-db bash-completion) ;;
    abi) packages+=(abigail-tools xz-utils) ;;
    *) echo "deps.sh: unknown group $group" >&2; exit 2 ;;
  esac
done
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
