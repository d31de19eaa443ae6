#!/usr/bin/env bash
# Reports one job of the last Wine batch (batch.sh) as a test of its own:
# prints the job's output and exits with its status. A result is reported
# once: it is removed afterwards, so a test run without its batch fails
# rather than repeat an old result.
#
#   result.sh JOB          (NRV_WINE_WORK as batch.sh)
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
results=${NRV_WINE_WORK:-$root/build/wine-e2e}/results
job=$1
if [ ! -f "$results/$job.status" ]; then
  [ -f "$results/$job.log" ] && cat "$results/$job.log"
  if [ -f "$results/batch.reason" ]; then
    echo "FAIL: [$job] not run: $(cat "$results/batch.reason")"
  else
    echo "FAIL: [$job] no result: the wine_batch test runs the jobs (ctest -R '^wine_')"
  fi
  exit 1
fi
cat "$results/$job.log"
status=$(cat "$results/$job.status")
rm -f "$results/$job.status" "$results/$job.log"
[ "$status" = 0 ]
