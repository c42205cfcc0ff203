#!/usr/bin/env bash
# Configures the native build (fresh, configure only) as on a machine with
# Google Benchmark but neither GLib nor Asio: pkg-config looks in an empty
# folder and asio.hpp is not found where it is installed. The configure must
# succeed, say that the benchmark needing them is skipped, and keep every
# other target: the libraries, propctl, the tests, the demo and the other
# benchmarks. No build type is given, so it must be the optimised default.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh bench
build=build/no-peers
empty=$(mktemp -d)
trap 'rm -rf "$empty"' EXIT
fail() { echo "check-optional-peers: $*" >&2; exit 1; }

rm -rf "$build"
asio_dir=$(dirname "$(echo '#include <asio.hpp>' | c++ -x c++ -M - | grep -o '[^ ]*/asio\.hpp' | sed -n 1p)")
output=$(PKG_CONFIG_LIBDIR="$empty" PKG_CONFIG_PATH="" cmake -S . -B "$build" -G Ninja \
  -DCMAKE_IGNORE_PATH="$asio_dir" -DOSAL_WERROR="${OSAL_WERROR:-OFF}" 2>&1) || { echo "$output"; fail "configure failed"; }
grep -qx -- "-- bench_msg_queue_peers skipped: GLib (glib-2.0 through pkg-config) and Asio (asio.hpp) not found" \
  <<<"$output" || { echo "$output"; fail "no status line for the skipped benchmark"; }
grep -qx "CMAKE_BUILD_TYPE:STRING=RelWithDebInfo" "$build/CMakeCache.txt" ||
  fail "a configure without a build type is not RelWithDebInfo"
targets=$(cmake --build "$build" --target help)
for target in osal property propctl demo test_propctl bench_msg_queue; do
  grep -q "^$target:" <<<"$targets" || fail "target $target missing"
done
if grep -q "^bench_msg_queue_peers:" <<<"$targets"; then fail "bench_msg_queue_peers configured without its peers"; fi
rm -rf "$build"
echo "check-optional-peers: configured without GLib and Asio; only bench_msg_queue_peers left out"
