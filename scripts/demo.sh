#!/usr/bin/env bash
# Installs the packages the native build needs (when missing), builds the
# demo and what it links (scripts/test.sh builds the tests) and runs it. The
# demo's property section works on a private /etc/j-config (see
# private-ns.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# Quiet unless the configure fails; then all it said, the package it misses
# included.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! cmake --preset default >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
cmake --build --preset default --target demo
scripts/private-ns.sh build/default/examples/demo
