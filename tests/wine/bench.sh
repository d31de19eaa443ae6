#!/usr/bin/env bash
# Benchmark, not a test. Prints which way Wine ran (natively, or inside the
# virtual machine where this machine cannot run 32-bit programs, or where
# NRV_WINE_VM=1 asks for it) and:
#   1. the wall time of the whole Wine suite (every job of batch.sh), once;
#   2. the wall time of CreatePrinter and UninstallPrinter of NRVPNP.dll
#      under Wine (Windows XP), beside a bare stop and start of the
#      "Spooler" service in the same prefix, as the ratio of the two.
#
#   bench.sh [ROUNDS]     (default 3; part 2 only with --exports-only)
#
# Part 2 is the job "bench" of batch.sh: each round is one run of the
# harness: restart (the bare stop and start), create, uninstall; the times
# are the harness's own, measured around each call inside the Wine
# process. Same environment variables as batch.sh.
set -u
here=$(cd "$(dirname "$0")" && pwd)

# Inside the batch (natively or in the machine): the rounds themselves.
if [ "${1:-}" = "--here" ]; then
  rounds=${2:-3}
  # shellcheck source=run_cases.sh
  . "$here/run_cases.sh"
  case=bench
  export WINEPREFIX=$work/cases/bench
  export NRV_BATCH=1
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
  exit 0
fi

exports_only=0
if [ "${1:-}" = "--exports-only" ]; then exports_only=1; shift; fi
export NRV_BENCH_ROUNDS=${1:-3}
results=${NRV_WINE_WORK:-$(cd "$here/../.." && pwd)/build/wine-e2e}/results

if [ "$exports_only" -eq 0 ]; then
  echo "== 1. the whole Wine suite"
  start=$(date +%s.%N)
  bash "$here/batch.sh" >"$results.suite.log" 2>&1
  rc=$?
  end=$(date +%s.%N)
  grep -E '^Wine runs|^wine batch:|FAIL' "$results.suite.log"
  awk -v s="$start" -v e="$end" -v rc="$rc" \
    'BEGIN { printf "suite wall time: %.0f s (batch exit status %d; the log: %s)\n", e - s, rc, ARGV[1] }' "$results.suite.log"
  echo
fi

echo "== 2. the exports beside a bare restart of the spooler ($NRV_BENCH_ROUNDS rounds)"
bash "$here/batch.sh" bench | grep -E '^Wine runs|^wine batch:'
cat "$results/bench.log"
[ "$(cat "$results/bench.status" 2>/dev/null)" = 0 ]
