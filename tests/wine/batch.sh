#!/usr/bin/env bash
# Runs the Wine jobs, the cases of run_cases.sh and the registry editor's
# imports of nrvdry's .reg files (regimport.sh: regimport for XP,
# regimport_win98, regimport_nt40), in one batch, and keeps each
# job's output and result for the test that reports it (result.sh).
#
#   batch.sh [JOB...]       (no job: all of them; the job "bench" is
#                            bench.sh's timing of the exports)
#
# Wine runs natively where this machine runs 32-bit x86 programs, and
# otherwise inside a small virtual machine (vm-image.sh, vm-run.sh), booted
# once for the whole batch. NRV_WINE_VM=1 takes the machine even where
# Wine could run natively. The jobs, their checks and the harness programs
# are the same either way; only the way Wine is started differs. Each
# job's prefix is copied from the template on this side before the batch
# starts, and each job has its own time limit (NRV_WINE_JOB_SECONDS,
# default 300 natively and 1200 in the machine), after which it is ended
# with every process of its prefix.
#
# Environment as run_cases.sh (NRV_DIST_DIR, NRV_WINE_BIN, NRV_WINE_WORK),
# and NRV_NRVDRY, the nrvdry that regimport.sh runs.
#
# Results go to $NRV_WINE_WORK/results: JOB.log and JOB.status, and
# batch.reason where the batch could not run a job at all.
set -u
set -o pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export NRV_DIST_DIR=${NRV_DIST_DIR:-$root/dist}
export NRV_WINE_BIN=${NRV_WINE_BIN:-$root/build/cross/tests/wine}
export NRV_WINE_WORK=${NRV_WINE_WORK:-$root/build/wine-e2e}
export NRV_NRVDRY=${NRV_NRVDRY:-$root/build/host/tools/nrvdry}
work=$NRV_WINE_WORK
results=$work/results

# The jobs: every case of run_cases.sh, then the import.
all_jobs() {
  bash -c ". '$here/run_cases.sh'; printf '%s\n' \"\${ALL_CASES[@]}\""
  printf '%s\n' regimport regimport_win98 regimport_nt40
}

# One job, with its prefix ready in $work/cases/JOB: output and status into
# the results. A job that outlives its limit is ended, and so is every
# process left in its prefix.
run_job() {
  local job=$1 limit=$2 rc=0
  local log=$results/$job.log
  echo "== $job (Wine $(wine --version 2>/dev/null), $(cat "$results/way"))" >"$log"
  case "$job" in
    regimport) NRV_WINE_PREFIX=$work/cases/$job timeout -k 10 "$limit" bash "$here/regimport.sh" "$NRV_NRVDRY" ;;
    regimport_*) NRV_WINE_PREFIX=$work/cases/$job timeout -k 10 "$limit" bash "$here/regimport.sh" "$NRV_NRVDRY" "${job#regimport_}" ;;
    bench) timeout -k 10 "$limit" bash "$here/bench.sh" --here "${NRV_BENCH_ROUNDS:-3}" ;;
    *) NRV_BATCH=1 timeout -k 10 "$limit" bash "$here/run_cases.sh" "$job" ;;
  esac >>"$log" 2>&1 || rc=$?
  WINEPREFIX=$work/cases/$job wineserver -k >/dev/null 2>&1 || true
  if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    echo "FAIL: [$job] ended after its time limit of $limit s" >>"$log"
  fi
  echo "$rc" >"$results/$job.status"
  echo "$job: $([ "$rc" -eq 0 ] && echo passed || echo "FAILED ($rc)")"
}

# Inside the machine: the jobs one after the other.
if [ "${1:-}" = "--inside" ]; then
  shift
  limit=$1
  shift
  export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  for job in "$@"; do run_job "$job" "$limit"; done
  exit 0
fi

jobs=("$@")
[ ${#jobs[@]} -gt 0 ] || mapfile -t jobs < <(all_jobs)
mkdir -p "$results" || { echo "FAIL: cannot make $results"; exit 1; }
for job in "${jobs[@]}"; do rm -f "$results/$job.log" "$results/$job.status"; done
rm -f "$results/batch.reason" "$results/way"

# Fails the batch with a one-line reason that every job's test repeats.
give_up() {
  echo "$1" >"$results/batch.reason"
  echo "FAIL: the Wine jobs cannot run: $1"
  exit 1
}

# A machine runs 32-bit x86 programs when this one does: a static i386 ELF
# of 93 bytes that only calls exit(0).
runs_32bit() {
  local probe
  probe=$(mktemp) || return 1
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
  chmod +x "$probe"
  local out rc=0
  out=$("$probe" 2>&1) || rc=$?
  rm -f "$probe"
  probe_error=${out##*: }
  [ "$rc" -eq 0 ]
}

probe_error=""
if [ "${NRV_WINE_VM:-0}" = 1 ]; then
  way=vm why="NRV_WINE_VM=1 asks for it"
elif runs_32bit; then
  way=native why="this machine runs 32-bit x86 programs"
else
  way=vm why="this machine cannot run 32-bit x86 programs (a 32-bit test program fails: ${probe_error:-no output})"
fi
if [ "$way" = native ]; then echo "natively" >"$results/way"; else echo "in the virtual machine" >"$results/way"; fi
echo "Wine runs $(cat "$results/way"): $why"

for f in "$NRV_DIST_DIR/NRVPNP.dll" "$NRV_DIST_DIR/NRVKSYS.dll" "$NRV_WINE_BIN/nrvharness.exe" "$NRV_WINE_BIN/dacl.exe" "$NRV_NRVDRY"; do
  [ -f "$f" ] || give_up "missing $f (build the cross and host presets first)"
done

if [ "$way" = native ]; then
  bash "$root/scripts/deps.sh" wine >/dev/null || give_up "installing Wine (scripts/deps.sh wine) failed"
  template=$work/template
  if [ ! -f "$template/system.reg" ]; then
    echo "making the template prefix ($(wine --version))"
    (. "$here/run_cases.sh"; make_template) || give_up "wineboot could not make the template prefix"
  fi
  limit=${NRV_WINE_JOB_SECONDS:-300}
else
  image=$(bash "$here/vm-image.sh") || give_up "the virtual machine's image could not be built (see vm-image's message above)"
  image=$(tail -n 1 <<<"$image")
  echo "machine image: $image"
  template=$image/root/opt/nrv/template
  limit=${NRV_WINE_JOB_SECONDS:-1200}
fi

# Every job's prefix, copied here rather than inside the machine.
mkdir -p "$work/cases"
for job in "${jobs[@]}"; do
  rm -rf "$work/cases/$job"
  cp -a "$template" "$work/cases/$job" || give_up "copying the template prefix for $job failed (disk full?)"
done

started=$SECONDS
if [ "$way" = native ]; then
  export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  for job in "${jobs[@]}"; do run_job "$job" "$limit"; done
else
  # The folders the jobs read and write, each shared at its own path.
  folders=("$root")
  for f in "$NRV_DIST_DIR" "$NRV_WINE_BIN" "$work" "$(dirname "$NRV_NRVDRY")"; do
    f=$(realpath "$f")
    case "$f/" in "$root"/*) ;; *) folders+=("$f") ;; esac
  done
  # One machine per core (at most four), each emulating one processor and
  # taking every so-many'th job.
  machines=${NRV_VM_COUNT:-$(nproc)}
  [ "$machines" -le 4 ] || machines=4
  [ "$machines" -le ${#jobs[@]} ] || machines=${#jobs[@]}
  pids=() dirs=()
  trap 'kill -TERM "${pids[@]}" 2>/dev/null; wait; exit 130' INT TERM HUP
  for ((m = 0; m < machines; m++)); do
    group=()
    for ((j = m; j < ${#jobs[@]}; j += machines)); do group+=("${jobs[j]}"); done
    jobdir=$(mktemp -d "$work/vmjob.XXXXXX") || give_up "mktemp in $work failed"
    {
      # The machine's /dev is a bare devtmpfs: the links that bash's
      # process substitution and /dev/stdin need.
      echo '[ -e /dev/fd ] || ln -s /proc/self/fd /dev/fd 2>/dev/null'
      printf 'export HOME=/tmp NRV_DIST_DIR=%q NRV_WINE_BIN=%q NRV_WINE_WORK=%q NRV_NRVDRY=%q NRV_BENCH_ROUNDS=%q\n' \
        "$NRV_DIST_DIR" "$NRV_WINE_BIN" "$NRV_WINE_WORK" "$NRV_NRVDRY" "${NRV_BENCH_ROUNDS:-3}"
      printf 'exec bash %q --inside %q' "$here/batch.sh" "$limit"
      printf ' %q' "${group[@]}"
      echo
    } >"$jobdir/run.sh"
    echo "machine $((m + 1)) of $machines: ${group[*]}"
    bash "$here/vm-run.sh" "$image" "$jobdir" $((limit * ${#group[@]} + 120)) "${folders[@]}" >"$jobdir/vm-run.out" 2>&1 &
    pids+=($!) dirs+=("$jobdir")
  done
  for ((m = 0; m < machines; m++)); do
    rc=0
    wait "${pids[m]}" || rc=$?
    jobdir=${dirs[m]}
    cat "$jobdir/log" "$jobdir/vm-run.out" 2>/dev/null
    if [ "$rc" -ne 0 ]; then
      case "$rc" in
        124) reason="the machine ran out of its time and was stopped" ;;
        125) reason="the machine did not come up or stopped early (console: $jobdir/console)" ;;
        *) reason="the machine's job failed with status $rc" ;;
      esac
      echo "$reason" >"$results/batch.reason"
      echo "FAIL: machine $((m + 1)): $reason"
    else
      rm -rf "$jobdir"
    fi
  done
  trap - INT TERM HUP
fi

failed=0
for job in "${jobs[@]}"; do
  if [ "$(cat "$results/$job.status" 2>/dev/null)" = 0 ]; then
    rm -rf "$work/cases/$job"  # some 600 MB each: kept only when the job failed
  else
    failed=$((failed + 1))
    echo "prefix kept: $work/cases/$job"
  fi
done
echo "wine batch: ${#jobs[@]} jobs $(cat "$results/way") in $((SECONDS - started)) s, $failed failed"
# The batch itself passes when it ran its jobs; each job's test tells
# whether that job passed.
[ ! -f "$results/batch.reason" ]
