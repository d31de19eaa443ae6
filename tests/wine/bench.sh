#!/usr/bin/env bash
# Benchmark, not a test: the wall time of CreatePrinter and UninstallPrinter
# of NRVPNP.dll under Wine (Windows XP), beside a bare stop and start of the
# "Spooler" service in the same prefix, as the ratio of the two.
#
#   bench.sh [ROUNDS]     (default 3)
#
# Each round is one run of the harness: restart (the bare stop and start),
# create, uninstall. The times are the harness's own, measured around each
# call inside the Wine process. Same environment variables as run_cases.sh.
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=run_cases.sh
. "$here/run_cases.sh"

rounds=${1:-3}
case=bench
for f in "$dist/NRVPNP.dll" "$bin/nrvharness.exe" "$bin/dacl.exe"; do
  [ -f "$f" ] || { echo "missing $f (build the cross preset)"; exit 1; }
done
if [ ! -f "$template/system.reg" ]; then make_template || exit 1; fi
new_prefix winxp
prepare_nt >/dev/null

printf '%-6s %12s %12s %14s %10s %10s\n' round create_ms uninstall_ms restart_ms create/rs uninst/rs
sum_c=0 sum_u=0 sum_r=0
for round in $(seq 1 "$rounds"); do
  out=$( (cd "$(drive_c)/nrv" && wine nrvharness.exe 'C:\nrv\NRVPNP.dll' restart create uninstall) | tr -d '\r')
  wineserver -w
  t() { awk -v s="$1" '$1 == "time:" && $2 == s ":" { print $3 }' <<<"$out"; }
  c=$(t create) u=$(t uninstall) r=$(t restart)
  if [ -z "$c" ] || [ -z "$u" ] || [ -z "$r" ]; then echo "round $round: no times"; echo "$out"; exit 1; fi
  awk -v n="$round" -v c="$c" -v u="$u" -v r="$r" \
    'BEGIN { printf "%-6s %12.1f %12.1f %14.1f %10.1f %10.2f\n", n, c, u, r, c / r, u / r }'
  sum_c=$(awk -v a="$sum_c" -v b="$c" 'BEGIN { print a + b }')
  sum_u=$(awk -v a="$sum_u" -v b="$u" 'BEGIN { print a + b }')
  sum_r=$(awk -v a="$sum_r" -v b="$r" 'BEGIN { print a + b }')
done
awk -v n="$rounds" -v c="$sum_c" -v u="$sum_u" -v r="$sum_r" \
  'BEGIN { printf "%-6s %12.1f %12.1f %14.1f %10.1f %10.2f\n", "mean", c / n, u / n, r / n, c / r, u / r }'
echo "(Wine reports the started spooler with a wait hint of 10000 ms, which CreatePrinter sleeps in full.)"
wineserver -k >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
