#!/usr/bin/env bash
# Benchmark, not a test: nrvdry against machine-size and hostile registry
# exports. Prints, for each file, its size, the wall time and peak memory of
# `nrvdry --machine FILE install uninstall`, and for the machine exports
# the ratio of its processor time to that of iconv decoding the same file.
#
#   tests/bench/nrvdry_bench.sh [SCALE]    (default 1)
#
# Machine exports: keys under 500 vendor keys, each key with a string, a
# double word and 24 bytes of binary, as the registry editor writes them
# (UTF-16LE), at 50,000, 100,000 and 200,000 keys times SCALE. Hostile
# shapes, each at two sizes so that the growth shows: one key path N levels
# deep, N sibling keys, N values in one key, N empty lines. nrvdry is built
# optimised in build/bench (NRVDRY names another one).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
scale=${1:-1}
export LC_ALL=C

for tool in /usr/bin/time iconv awk cmake; do
  command -v "$tool" >/dev/null || { echo "missing $tool (GNU time: the Debian package \"time\")"; exit 1; }
done

nrvdry=${NRVDRY:-}
if [ -z "$nrvdry" ]; then
  cmake -S "$root" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build/bench" --target nrvdry -j2 >/dev/null
  nrvdry=$root/build/bench/tools/nrvdry
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# utf16 IN OUT: the registry editor's encoding, byte-order mark and CRLF.
utf16() {
  { printf '\xff\xfe'; sed 's/$/\r/' "$1" | iconv -f ASCII -t UTF-16LE; } >"$2"
}

machine_export() {  # KEYS OUT
  awk -v keys="$1" 'BEGIN {
    print "Windows Registry Editor Version 5.00"; print ""
    vendors = 500; per = int((keys + vendors - 1) / vendors); n = 0
    for (v = 1; v <= vendors && n < keys; v++) {
      printf "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor%04d]\n\n", v
      for (k = 1; k <= per && n < keys; k++) {
        n++
        printf "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor%04d\\Component%06d]\n", v, n
        printf "\"DisplayName\"=\"Component %06d of vendor %04d\"\n", n, v
        printf "\"Flags\"=dword:%08x\n", n
        printf "\"Signature\"=hex:"
        for (b = 0; b < 24; b++) printf "%02x%s", (n + b) % 256, (b < 23 ? "," : "\n")
        print ""
      }
    }
  }' >"$work/plain.reg"
  utf16 "$work/plain.reg" "$2"
}

hostile() {  # SHAPE N OUT
  awk -v shape="$1" -v n="$2" 'BEGIN {
    print "Windows Registry Editor Version 5.00"; print ""
    if (shape == "depth") {
      printf "[HKEY_CURRENT_USER\\Deep"; for (i = 0; i < n; i++) printf "\\k"; print "]"
      print "\"v\"=\"bottom\""
    } else if (shape == "siblings") {
      for (i = n; i > 0; i--) printf "[HKEY_CURRENT_USER\\Wide\\k%07d]\n", i
    } else if (shape == "values") {
      print "[HKEY_CURRENT_USER\\Many]"
      for (i = n; i > 0; i--) printf "\"v%07d\"=dword:%08x\n", i, i
      for (i = 1; i <= n; i += 2) printf "\"v%07d\"=-\n", i
    } else if (shape == "lines") {
      for (i = 0; i < n; i++) print ""
    }
  }' >"$3"
}

mb() { awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.1f", b / 1048576 }'; }

# run FILE: "wall-seconds cpu-seconds peak-MB" of nrvdry on the file (the
# processor time, user and system, is the figure to trust on a busy machine).
run() {
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$nrvdry" --machine "$1" install uninstall >"$work/out" 2>"$work/err" || {
    echo "nrvdry failed on $1:"; cat "$work/err"; exit 1; }
  awk '{ printf "%s %.2f %.0f\n", $1, $2 + $3, $4 / 1024 }' "$work/time"
}

echo "Machine exports (UTF-16LE, as the registry editor writes them)"
printf '%-8s %8s %7s %7s %8s %8s %9s\n' keys file_MB wall_s cpu_s peak_MB iconv_s cpu/iconv
for keys in 50000 100000 200000; do
  keys=$((keys * scale))
  machine_export "$keys" "$work/big.reg"
  read -r secs cpu peak < <(run "$work/big.reg")
  /usr/bin/time -f '%U %S' -o "$work/itime" iconv -f UTF-16 -t ASCII "$work/big.reg" >/dev/null
  icpu=$(awk '{ printf "%.2f", $1 + $2 }' "$work/itime")
  awk -v k="$keys" -v mb="$(mb "$work/big.reg")" -v s="$secs" -v c="$cpu" -v p="$peak" -v i="$icpu" \
    'BEGIN { printf "%-8s %8s %7.2f %7.2f %8s %8.2f %9.0f\n", k, mb, s, c, p, i, (i > 0 ? c / i : 0) }'
done

echo
echo "Hostile shapes (plain text)"
printf '%-8s %8s %8s %7s %7s %8s\n' shape n file_MB wall_s cpu_s peak_MB
for shape in depth siblings values lines; do
  case $shape in
    depth) sizes="100000 200000" ;;
    siblings) sizes="50000 100000" ;;
    values) sizes="25000 50000" ;;
    lines) sizes="2500000 5000000" ;;
  esac
  for n in $sizes; do
    n=$((n * scale))
    hostile "$shape" "$n" "$work/h.reg"
    read -r secs cpu peak < <(run "$work/h.reg")
    printf '%-8s %8s %8s %7s %7s %8s\n' "$shape" "$n" "$(mb "$work/h.reg")" "$secs" "$cpu" "$peak"
  done
done
