#!/usr/bin/env bash
# Boots the Wine machine (tests/wine/vm-image.sh) once to run one job.
#
#   vm-run.sh IMAGE JOBDIR SECONDS [FOLDER...]
#
# JOBDIR holds run.sh, which the machine runs with sh as the caller's user.
# Each FOLDER of the host is shared into the machine at its own path, so
# that paths mean the same on both sides. The machine writes run.sh's
# output to JOBDIR/log and its exit status to JOBDIR/status, then powers
# off. This exits with the job's status, or 124 when the job ran out of its
# SECONDS (the machine is then stopped), or 125 when the machine did not
# come up: a machine that dies before its job starts is booted again, up to
# NRV_VM_TRIES times (default 3). The kernel's console goes to
# JOBDIR/console.
set -u

image=$1 job=$2 limit=$3
shift 3

say() { echo "vm-run: $*" >&2; }
[ -f "$image/vmlinuz" ] && [ -f "$image/initrd" ] && [ -x "$image/root/sbin/nrv-init" ] ||
  { say "no machine image in $image"; exit 125; }
[ -f "$job/run.sh" ] || { say "no $job/run.sh"; exit 125; }
command -v qemu-system-x86_64 >/dev/null || { say "qemu-system-x86_64 is not installed"; exit 125; }

args=()
share() {  # share TAG FOLDER
  case "$2" in *[[:space:],]*) say "a shared folder's path has white space or a comma: $2"; exit 125 ;; esac
  args+=(-fsdev "local,id=$1,path=$2,security_model=passthrough,multidevs=remap"
    -device "virtio-9p-pci,fsdev=$1,mount_tag=$1")
}
share nrvroot "$image/root"
share nrvjob "$job"
shares=""
i=0
for folder in "$@"; do
  folder=$(realpath "$folder")
  share "nrvs$i" "$folder"
  shares="$shares nrvs$i=$folder"
  i=$((i + 1))
done
printf 'NRV_SHARES="%s"\nNRV_UID=%s\nNRV_GID=%s\n' "$shares" "$(id -u)" "$(id -g)" >"$job/env"

qemu_pid=""
stop_machine() {
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill -TERM "$qemu_pid" 2>/dev/null
    sleep 2
    kill -KILL "$qemu_pid" 2>/dev/null
  fi
}
trap 'stop_machine; exit 130' INT TERM HUP
trap stop_machine EXIT

tries=${NRV_VM_TRIES:-3}
for try in $(seq 1 "$tries"); do
  rm -f "$job/started" "$job/status" "$job/status.tmp" "$job/log" "$job/mount-failed"
  started_at=$SECONDS
  qemu-system-x86_64 -machine q35 -accel tcg,tb-size=512 -cpu max,-smap -smp 1 -m 4096 \
    -nodefaults -no-reboot -display none -nic none -serial "file:$job/console" \
    -kernel "$image/vmlinuz" -initrd "$image/initrd" \
    -append "console=ttyS0 quiet panic=-1 tsc=reliable" \
    "${args[@]}" &
  qemu_pid=$!
  timed_out=0
  while kill -0 "$qemu_pid" 2>/dev/null; do
    if [ $((SECONDS - started_at)) -ge "$limit" ]; then
      timed_out=1
      stop_machine
      break
    fi
    sleep 1
  done
  wait "$qemu_pid" 2>/dev/null
  qemu_pid=""
  if [ -f "$job/status" ]; then
    exit "$(cat "$job/status")"
  fi
  if [ "$timed_out" -eq 1 ]; then
    say "the job ran out of its ${limit} s; the machine was stopped"
    exit 124
  fi
  if [ -f "$job/started" ]; then
    say "the machine stopped before its job ended (console: $job/console)"
    exit 125
  fi
  if [ -f "$job/mount-failed" ]; then
    say "the machine could not mount the shared folders"
    exit 125
  fi
  say "try $try of $tries: the machine died before its job started (console: $job/console)"
  tail -n 5 "$job/console" >&2 2>/dev/null
done
exit 125
