#!/usr/bin/env bash
# Builds and runs the whole test suite for one preset (default: default).
#   scripts/test.sh [default|asan|tsan|aarch64]
# OSAL_WERROR=ON turns warnings into errors, as CI does.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
case "$preset" in
  aarch64) scripts/deps.sh cross ;;
  *) scripts/deps.sh bench ;;
esac
cmake --preset "$preset" -DOSAL_WERROR="${OSAL_WERROR:-OFF}" >/dev/null
cmake --build --preset "$preset"
scripts/private-ns.sh ctest --preset "$preset" -j "$(nproc)"
if [ "$preset" = aarch64 ]; then
  # Shows the emulator in the test command and the machine the tests saw.
  ctest --preset aarch64 -R 'Platform.ReportsTheArchitectureItRunsOn' -V | grep -E 'Test command|running on'
fi
