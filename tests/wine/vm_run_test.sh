#!/usr/bin/env bash
# vm-run.sh's handling of the machine, with a stand-in for QEMU on PATH: a
# machine that dies before its job starts is booted again a bounded number
# of times, a job that outlives its time is stopped with its machine and
# nothing is left running, the job's exit status comes back, and a shared
# folder that the machine could not mount is refused. One line per check,
# then "N passed, N failed".
set -u
here=$(cd "$(dirname "$0")" && pwd)
passed=0
failed=0
same() { if [ "$2" == "$3" ]; then passed=$((passed + 1)); echo "ok: $1"; else failed=$((failed + 1)); echo "FAIL: $1: got '$2', want '$3'"; fi; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/bin" "$tmp/image/root/sbin" "$tmp/share"
: >"$tmp/image/vmlinuz"
: >"$tmp/image/initrd"
printf '#!/bin/sh\n' >"$tmp/image/root/sbin/nrv-init"
chmod +x "$tmp/image/root/sbin/nrv-init"

# The stand-in boots FAKE_DEAD times without starting the job, then does
# what FAKE_MODE says: "run" runs the job as the machine's init would,
# "hang" starts it and never ends. Every boot is counted in $tmp/boots, and
# the pid of a hanging machine is left in $tmp/hung.
cat >"$tmp/bin/qemu-system-x86_64" <<'EOF'
#!/bin/bash
job=""
for a in "$@"; do
  case "$a" in local,id=nrvjob,path=*) job=${a#local,id=nrvjob,path=}; job=${job%%,*} ;; esac
done
echo boot >>"$FAKE_DIR/boots"
[ "$(wc -l <"$FAKE_DIR/boots")" -gt "${FAKE_DEAD:-0}" ] || exit 0
. "$job/env"
date +%s >"$job/started"
case "$FAKE_MODE" in
  run) (cd "$job" && sh run.sh >log 2>&1; echo $? >status) ;;
  hang) echo $$ >"$FAKE_DIR/hung"; exec sleep 600 ;;
esac
EOF
chmod +x "$tmp/bin/qemu-system-x86_64"
export PATH="$tmp/bin:$PATH" FAKE_DIR=$tmp

# run CASE DEAD MODE TRIES LIMIT RUN.SH [FOLDER...]: prints "status boots".
run() {
  local name=$1 dead=$2 mode=$3 tries=$4 limit=$5 script=$6
  shift 6
  rm -rf "$tmp/job" "$tmp/boots" "$tmp/hung"
  mkdir -p "$tmp/job"
  : >"$tmp/boots"
  echo "$script" >"$tmp/job/run.sh"
  local rc=0
  FAKE_DEAD=$dead FAKE_MODE=$mode NRV_VM_TRIES=$tries \
    bash "$here/vm-run.sh" "$tmp/image" "$tmp/job" "$limit" "$@" >"$tmp/$name.out" 2>&1 || rc=$?
  echo "$rc $(wc -l <"$tmp/boots")"
}

same "0: the job's status comes back" "$(run ok 0 run 3 30 'echo hello; exit 7')" "7 1"
same "0: the job's output is in its log" "$(cat "$tmp/job/log")" hello
same "1: two machines die before the job starts, the third runs it" "$(run retry 2 run 3 30 'exit 0')" "0 3"
same "1: each dead machine is reported" "$(grep -c 'died before its job started' "$tmp/retry.out")" 2
same "2: every machine dies: 125 after the third" "$(run dead 9 run 3 30 'exit 0')" "125 3"
same "3: a job that outlives its time: 124, one boot" "$(run hang 0 hang 3 3 'exit 0')" "124 1"
pid=$(cat "$tmp/hung" 2>/dev/null)
if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then left=running; else left=stopped; fi
same "3: the hanging machine is stopped" "$left" stopped
same "3: the time-out is reported" "$(grep -c 'ran out of its 3 s' "$tmp/hang.out")" 1
same "4: a shared folder is mounted at its own path" \
  "$(run share 0 run 1 30 '. ./env; echo "$NRV_SHARES"' "$tmp/share" >/dev/null; cat "$tmp/job/log")" " nrvs0=$tmp/share"
mkdir -p "$tmp/with space"
same "5: a folder with white space is refused before any boot" "$(run space 0 run 1 30 'exit 0' "$tmp/with space")" "125 0"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
