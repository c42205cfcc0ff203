#!/usr/bin/env bash
# Installs the packages the native build needs (when missing), builds
# everything and runs the demo. The demo's property section works on a
# private /etc/j-config (see private-ns.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
scripts/private-ns.sh build/default/examples/demo
