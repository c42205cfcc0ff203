#!/usr/bin/env bash
# Guards the ABI of libosal and libproperty against the baseline kept in
# abi/ (libabigail's abidw, xz-compressed), using the default build
# (scripts/test.sh makes it; OSAL_ABI_BUILD names another build directory).
#   scripts/abi-check.sh            fails when abidiff reports an incompatible
#                                   change while the SONAME is the baseline's;
#                                   compatible changes are shown only
#   scripts/abi-check.sh --update   writes the baseline from the build (after
#                                   an intended change or a SONAME bump)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh abi
build=${OSAL_ABI_BUILD:-build/default}
update=0
case "${1:-}" in
  --update) update=1 ;;
  "") ;;
  *) echo "abi-check.sh: unknown argument $1" >&2; exit 2 ;;
esac
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

describe() {  # LIB OUT: the ABI of the built library, public headers only
  abidw --headers-dir "$PWD/$1" --drop-private-types --no-show-locs --no-corpus-path --no-comp-dir-path \
    --no-parameter-names --type-id-style hash --out-file "$2" "$build/$1/lib$1.so.0"
}

soname() { grep -o -m 1 "soname='[^']*'" "$1"; }

failed=0
for lib in osal property; do
  baseline="abi/lib$lib.abi.xz"
  describe "$lib" "$work/$lib.abi"
  if [ "$update" = 1 ]; then
    xz -9 -c "$work/$lib.abi" > "$baseline"
    echo "abi-check: $baseline written"
    continue
  fi
  xz -dc "$baseline" > "$work/$lib.baseline.abi"
  rc=0
  abidiff --no-show-locs "$work/$lib.baseline.abi" "$work/$lib.abi" > "$work/$lib.diff" || rc=$?
  if (( rc & 3 )); then cat "$work/$lib.diff"; echo "abi-check: abidiff failed on lib$lib" >&2; exit 1; fi
  if (( rc & 8 )) && [ "$(soname "$work/$lib.baseline.abi")" = "$(soname "$work/$lib.abi")" ]; then
    cat "$work/$lib.diff"
    echo "abi-check: lib$lib changed incompatibly without a SONAME bump" >&2
    failed=1
  elif (( rc & 12 )); then
    cat "$work/$lib.diff"
    echo "abi-check: lib$lib changed; run scripts/abi-check.sh --update once the change is intended"
  else
    echo "abi-check: lib$lib as the baseline"
  fi
done
exit $failed
