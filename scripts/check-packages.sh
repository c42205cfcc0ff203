#!/usr/bin/env bash
# Checks the packages that scripts/package.sh built into build/packages/.
#   both:  lintian reports no error and no warning; names, architecture,
#          each package's own summary line, contents (all under /usr, the
#          right machine code, SONAMEs, shlibs, symbols and ldconfig triggers).
#   arm64: propctl --version runs under qemu-aarch64 from the unpacked files.
#   amd64: as root, they install with dpkg -i, a consumer builds against
#          /usr with find_package(osal) and with pkg-config and runs, propctl
#          (its commands, manual page and bash completion) works on a private
#          /etc/j-config, and everything is purged again.
# Refuses to install over packages of these names that are already there.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package cross check
packages=$PWD/build/packages
names=(libosal0 libproperty0 liblog0 libc-boundck0 libosal-dev osal-platform-standins-dev propctl)
work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then dpkg --purge "${names[@]}" >/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "check-packages: $*" >&2; exit 1; }

deb_of() {  # ARCH NAME
  local deb
  deb=$(ls "$packages/$1/$2"_*_"$1".deb 2>/dev/null) || fail "no $2 package for $1"
  echo "$deb"
}

check_lintian() {  # ARCH
  lintian --fail-on error,warning "$packages/$1"/*.deb || fail "lintian reports errors or warnings on the $1 set"
  echo "$1 packages: lintian reports no error and no warning"
}

check_contents() {  # ARCH MULTIARCH ELF-MACHINE
  local arch=$1 multiarch=$2 machine=$3 deb root="$work/root-$1"
  check_lintian "$arch"
  for name in "${names[@]}"; do
    deb=$(deb_of "$arch" "$name")
    [ "$(dpkg-deb -f "$deb" Package)" = "$name" ] || fail "$deb: wrong package name"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb: not $arch"
    if dpkg-deb -c "$deb" | awk '{print $6}' | grep -vE '^\./(usr/.*)?$'; then fail "$deb: files outside /usr"; fi
    dpkg-deb -x "$deb" "$root"
  done
  local summaries
  summaries=$(for name in "${names[@]}"; do dpkg-deb -f "$(deb_of "$arch" "$name")" Description | sed -n 1p; done)
  [ "$(sort -u <<<"$summaries" | wc -l)" = "${#names[@]}" ] || fail "two packages share a summary line"
  local libdir="$root/usr/lib/$multiarch"
  for lib in osal property; do
    deb=$(deb_of "$arch" "lib${lib}0")
    readelf -d "$libdir/lib$lib.so.0" | grep -q "Library soname: \[lib$lib.so.0\]" || fail "lib$lib.so.0: SONAME"
    dpkg-deb -I "$deb" shlibs | grep -qx "lib$lib 0 lib${lib}0 (>= .*)" || fail "$deb: shlibs"
    dpkg-deb -I "$deb" symbols | sed -n 1p | grep -qx "lib$lib.so.0 lib${lib}0 #MINVER#" || fail "$deb: symbols"
    dpkg-deb -f "$deb" Depends | grep -q "liblog0, libc-boundck0" || fail "$deb: Depends"
    dpkg-deb -f "$deb" Depends | grep -q "libstdc++6" || fail "$deb: no C++ runtime in Depends"
  done
  for name in libosal0 libproperty0 liblog0 libc-boundck0; do
    dpkg-deb -I "$(deb_of "$arch" $name)" triggers | grep -qx "activate-noawait ldconfig" || fail "$name: no ldconfig trigger"
  done
  if dpkg-deb -f "$(deb_of "$arch" libosal-dev)" Depends | grep -q liblog0; then fail "libosal-dev depends on the stand-ins"; fi
  dpkg-deb -f "$(deb_of "$arch" propctl)" Depends | grep -q "libproperty0" || fail "propctl: Depends"
  for file in "$libdir"/lib{osal,property,log,c_boundck}.so.0.* "$root/usr/bin/propctl"; do
    file -L "$file" | grep -q "$machine" || fail "$file is not $machine code"
  done
  for file in "$libdir"/lib{osal,property,log,c_boundck}.so "$libdir/cmake/osal/osalConfig.cmake" \
              "$libdir/pkgconfig/osal.pc" "$libdir/pkgconfig/property.pc" "$root/usr/include/osal/osal.h" \
              "$root/usr/include/property/property.h"; do
    [ -e "$file" ] || fail "${file#"$root"} missing"
  done
  echo "$arch packages: names, architecture, contents, SONAMEs, shlibs and Depends as expected"
}

check_arm64() {
  check_contents arm64 aarch64-linux-gnu "ARM aarch64"
  local version
  version=$(qemu-aarch64 -L /usr/aarch64-linux-gnu "$work/root-arm64/usr/bin/propctl" --version)
  [[ "$version" == "propctl "* ]] || fail "arm64 propctl --version printed '$version'"
  echo "arm64 propctl under qemu-aarch64: $version"
}

check_amd64() {
  check_contents amd64 x86_64-linux-gnu "x86-64"
  for name in "${names[@]}"; do
    if dpkg -s "$name" >/dev/null 2>&1; then fail "$name is installed already; not touching it"; fi
  done
  installed=1
  dpkg -i "$packages"/amd64/*.deb >/dev/null
  unset LD_LIBRARY_PATH
  cmake -S tests/install/consumer -B "$work/consumer" -G Ninja >/dev/null
  cmake --build "$work/consumer" >/dev/null
  "$work/consumer/consumer"
  c++ -std=c++17 tests/install/consumer/consumer.cpp -o "$work/pkgconfig-consumer" \
    $(pkg-config --cflags --libs osal property)
  "$work/pkgconfig-consumer"
  propctl --version
  scripts/private-ns.sh sh -c ': > /etc/j-config/mj-gralloc.cfg && propctl set ci.check ok &&
    test "$(propctl get ci.check)" = ok && test "$(propctl list)" = ci.check=ok'
  echo "amd64 propctl: set, get and list work"
  scripts/private-ns.sh sh -c 'printf "# note\na.one=1\na.two=2\nb=3\n" > /etc/j-config/mj-gralloc.cfg &&
    propctl unset b && test "$(propctl list a.)" = "$(printf "a.one=1\na.two=2")" &&
    { out=$(propctl -f /etc/j-config/missing get k 0 2>/dev/null); test $? = 4; } && test "$out" = 0' ||
    fail "propctl unset, list PREFIX or get of a missing file"
  man -P cat propctl | grep -q "THE FILE AFTER A CHANGE" || fail "man propctl"
  man -P cat propctl | grep -q -- "--timeout SECONDS" || fail "man propctl: no wait --timeout"
  scripts/private-ns.sh bash -c 'printf "alpha=1\nbeta=2\n" > /etc/j-config/mj-gralloc.cfg &&
    source /usr/share/bash-completion/completions/propctl &&
    COMP_WORDS=(propctl un) COMP_CWORD=1 && _propctl && test "${COMPREPLY[*]}" = unset &&
    COMP_WORDS=(propctl get al) COMP_CWORD=2 && _propctl && test "${COMPREPLY[*]}" = alpha &&
    COMP_WORDS=(propctl wa) COMP_CWORD=1 && _propctl && test "${COMPREPLY[*]}" = "watch wait" &&
    COMP_WORDS=(propctl wait al --t) COMP_CWORD=3 && _propctl && test "${COMPREPLY[*]}" = --timeout' ||
    fail "bash completion of propctl"
  echo "amd64 propctl: unset, list PREFIX, missing file, manual page and bash completion work"
  dpkg --purge "${names[@]}" >/dev/null
  installed=0
  for name in "${names[@]}"; do
    if dpkg -s "$name" >/dev/null 2>&1; then fail "$name still installed after the purge"; fi
  done
  [ ! -e /usr/bin/propctl ] && [ ! -e /usr/lib/x86_64-linux-gnu/libosal.so.0 ] &&
    [ ! -e /usr/share/man/man1/propctl.1.gz ] || fail "files left after the purge"
  echo "amd64 packages: installed, used and purged"
}

architectures=("$@")
[ ${#architectures[@]} -gt 0 ] || architectures=(amd64 arm64)
for arch in "${architectures[@]}"; do
  case "$arch" in
    amd64) check_amd64 ;;
    arm64) check_arm64 ;;
    *) fail "unknown architecture $arch" ;;
  esac
done
