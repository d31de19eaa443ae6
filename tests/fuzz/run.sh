#!/bin/bash
# Builds a fuzz target with clang (the simulated Windows and both libraries
# instrumented, with the address and undefined-behaviour sanitizers) and
# runs it from its checked-in seed corpus:
#   machine  (default) machines built from the input, both libraries' exports
#            run on them (fuzz_machine.cpp, corpus/);
#   regfile  the input read as a .reg file and what nrvdry does with it,
#            with a round trip through both written styles
#            (fuzz_regfile.cpp, corpus_regfile/).
#
#   tests/fuzz/run.sh [--target=machine|regfile] [SECONDS | -runs=N] [extra libFuzzer flags...]
#
# A number is a time budget in seconds (default 30); "-runs=N" runs N
# inputs instead. NRV_FUZZ_BUILD names the build folder (default
# build/fuzz in the source tree); new inputs go to its corpus/ and a crash
# is written there as crash-*.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${NRV_FUZZ_BUILD:-$root/build/fuzz}"
cxx="${NRV_FUZZ_CXX:-clang++-14}"
command -v "$cxx" >/dev/null || cxx=clang++

target=machine
case "${1:-}" in
  --target=machine|--target=regfile) target=${1#--target=}; shift ;;
  --target=*) echo "unknown fuzz target: ${1#--target=} (machine, regfile)"; exit 2 ;;
esac

budget=(-max_total_time=30)
if [ $# -gt 0 ]; then
  case "$1" in
    -runs=*) budget=("$1"); shift ;;
    ''|*[!0-9]*) ;;
    *) budget=(-max_total_time="$1"); shift ;;
  esac
fi

mkdir -p "$out/obj" "$out/corpus" "$out/corpus_regfile"
flags=(-std=c++17 -g -O1 -fPIC -Wall -Wextra -Werror -fno-omit-frame-pointer
       -fsanitize=address,undefined -fno-sanitize-recover=all)
cov=(-fsanitize=fuzzer-no-link)

build_so() {  # name sources...
  local name=$1; shift
  local objs=()
  for src in "$@"; do
    local obj="$out/obj/${name}_$(basename "${src%.cpp}").o"
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find "$root/sim" "$root/platform" "$root/common" "$root/ntsetup" "$root/w9xsetup" "$root/tools" -name '*.h' -newer "$obj" 2>/dev/null)" ]; then
      "$cxx" "${flags[@]}" "${cov[@]}" -I"$root/platform" -I"$root/common" -I"$root/sim" -I"$root/tools" -c "$src" -o "$obj"
    fi
    objs+=("$obj")
  done
  echo "${objs[@]}"
}

sim_objs=$(build_so sim "$root"/sim/*.cpp)
"$cxx" "${flags[@]}" -shared -o "$out/libsimwin.so" $sim_objs
nt_objs=$(build_so nt "$root"/ntsetup/*.cpp "$root/common/text.cpp")
"$cxx" "${flags[@]}" -shared -o "$out/libnrvpnp.so" $nt_objs -L"$out" -lsimwin -Wl,-rpath,"$out"
w9x_objs=$(build_so w9x "$root"/w9xsetup/*.cpp "$root/common/text.cpp")
"$cxx" "${flags[@]}" -shared -o "$out/libnrvksys.so" $w9x_objs -L"$out" -lsimwin -Wl,-rpath,"$out"

cd "$out"
if [ "$target" = regfile ]; then
  reader_objs=$(build_so tools "$root/tools/regfile.cpp")
  "$cxx" "${flags[@]}" -fsanitize=fuzzer -I"$root/platform" -I"$root/sim" -I"$root/tools" \
    "$here/fuzz_regfile.cpp" $reader_objs -o "$out/fuzz_regfile" -L"$out" -lsimwin -Wl,-rpath,"$out"
  exec ./fuzz_regfile "${budget[@]}" -max_len=8192 -artifact_prefix="$out/regfile-" "$@" "$out/corpus_regfile" \
    "$here/corpus_regfile"
fi
"$cxx" "${flags[@]}" -fsanitize=fuzzer -I"$root/platform" -I"$root/sim" \
  -DNRVPNP_MODULE="\"$out/libnrvpnp.so\"" -DNRVKSYS_MODULE="\"$out/libnrvksys.so\"" \
  "$here/fuzz_machine.cpp" -o "$out/fuzz_machine" -L"$out" -lsimwin -Wl,-rpath,"$out" -ldl
exec ./fuzz_machine "${budget[@]}" -max_len=2048 -artifact_prefix="$out/" "$@" "$out/corpus" "$here/corpus"
