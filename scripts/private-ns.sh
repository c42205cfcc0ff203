#!/usr/bin/env bash
# Runs a command in a private mount namespace with an empty tmpfs on
# /etc/j-config, so that the property file the command reads and writes is
# its own and no machine's real file is touched, and another on /dev/shm,
# where the store keeps its change counters. Needs root.
set -euo pipefail
dir=/etc/j-config
if [ "$(id -u)" != 0 ]; then
  echo "private-ns.sh: needs root (unshare -m and mount)" >&2
  exit 1
fi
created=0
if [ ! -d "$dir" ]; then
  mkdir -p "$dir"   # only the mount point; its contents stay private
  created=1
fi
rc=0
unshare -m --propagation private sh -c 'mount -t tmpfs -o size=16m,mode=0755 j-config "$0" &&
  mount -t tmpfs -o size=16m,mode=1777 shm /dev/shm && exec "$@"' "$dir" "$@" || rc=$?
if [ "$created" = 1 ]; then rmdir "$dir" 2>/dev/null || true; fi
exit $rc
