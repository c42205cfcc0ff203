#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan + UBSan) and runs each for the given
# number of seconds (default 60), starting from its seed corpus in
# fuzz/corpus/<target>/. New inputs go to a scratch copy, never to the tree.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/deps.sh fuzz
cmake --preset fuzz -DOSAL_WERROR="${OSAL_WERROR:-OFF}" >/dev/null
cmake --build --preset fuzz
mkdir -p fuzz/artifacts
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target"); name=${name#fuzz_}
  work=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/"
  echo "fuzzing $name for ${seconds}s"
  scripts/private-ns.sh "$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="fuzz/artifacts/$name-" "$work"
  rm -rf "$work"
done
