#!/usr/bin/env bash
# Builds the real DLLs twice from the same sources, copied into two folders
# of different names and depths, with the cross preset, at different times
# and in different time zones, and compares what lands in dist/ byte for
# byte: the stripped DLLs and SHA256SUMS. The images as linked, symbols
# included, must be the same too.
#
#   check_reproducible.sh [WORK]    (default build/reproducible; emptied first)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-"$root/build/reproducible"}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
first=$work/one/src
second=$work/the-second-build/of/the/printer-setup
# Everything the cross build reads (only its target dist, the DLLs, is
# built; the example installer and the Wine programs are configured).
for dir in "$first" "$second"; do
  mkdir -p "$dir/tests"
  (cd "$root" && cp -R CMakeLists.txt CMakePresets.json cmake common platform ntsetup w9xsetup examples "$dir/" &&
    cp -R tests/wine "$dir/tests/")
done

build() {
  local dir=$1 zone=$2
  echo "building in $dir (TZ=$zone)"
  (cd "$dir" && export TZ=$zone &&
    cmake --preset cross >"$dir/configure.log" 2>&1 &&
    cmake --build --preset cross --target dist -j2 >"$dir/build.log" 2>&1) ||
    { fail "the build in $dir"; cat "$dir/configure.log" "$dir/build.log" 2>/dev/null | tail -30; return 1; }
}
build "$first" UTC || exit 1
build "$second" Pacific/Kiritimati || exit 1

listing() { (cd "$1" && find . -type f | sort); }
same_files() {
  local what=$1 a=$2 b=$3
  shift 3
  local want; want=$(printf '%s\n' "$@")
  [ "$(listing "$a")" = "$want" ] || fail "$what: $a holds $(listing "$a" | tr '\n' ' '), want $*"
  [ "$(listing "$b")" = "$want" ] || fail "$what: $b holds $(listing "$b" | tr '\n' ' '), want $*"
  local f
  for f in "$@"; do
    if cmp "$a/$f" "$b/$f"; then echo "ok: $what ${f#./}: the same $(stat -c %s "$a/$f") bytes"; else fail "$what ${f#./} differs"; fi
  done
}
same_files dist "$first/dist" "$second/dist" ./NRVKSYS.dll ./NRVPNP.dll ./SHA256SUMS
for lib in ntsetup/NRVPNP.dll w9xsetup/NRVKSYS.dll; do
  if cmp "$first/build/cross/$lib" "$second/build/cross/$lib"; then
    echo "ok: linked $lib: the same"
  else
    fail "linked $lib differs"
  fi
done

if [ "$failures" -eq 0 ]; then
  rm -rf "$work"
  echo "reproducible"
else
  echo "$failures failed; both builds kept in $work"
fi
[ "$failures" -eq 0 ]
