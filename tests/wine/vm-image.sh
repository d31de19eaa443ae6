#!/usr/bin/env bash
# The virtual machine in which the Wine tests run on a machine that cannot
# run 32-bit x86 programs: Debian 12's own Wine (win32 prefixes), with its
# root file system shared from the host over virtio-9p, started by QEMU
# under software emulation (tests/wine/vm-run.sh boots it).
#
#   vm-image.sh        builds the image when it is missing or stale, then
#                      prints its folder on the last line
#
# The image is built from Debian's packages alone, fetched from the mirror
# this machine's apt uses:
#   root/       debootstrap's minbase of bookworm, amd64, with wine and
#               wine32:i386 and the few tools the cases need; its
#               /sbin/nrv-init runs one job and powers the machine off;
#               root/opt/nrv/template is a fresh win32 prefix, made inside
#               the machine, that every case copies on the host side
#   vmlinuz     Debian's kernel
#   initrd      a static busybox and the virtio and 9p modules: it mounts
#               root/ and switches to it
#
# It is cached in $NRV_VM_CACHE (default ~/.cache/nrv-wine-vm), in a folder
# named by the hash of this script, so that a change here builds a new
# image and a fresh clone reuses the one there is. A build goes into a
# folder of its own and is renamed into place only once it is complete: an
# image half built by a killed run is never taken for a finished one, and
# the next build clears what it left. Building needs root (debootstrap and
# chroot) and takes some five minutes.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root_dir=$(cd "$here/../.." && pwd)
cache=${NRV_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/nrv-wine-vm}
key=$(sha256sum "$0" | cut -c1-16)
image=$cache/$key

say() { echo "vm-image: $*" >&2; }
step_name="start"
step() { step_name=$1; say "$1"; }
die() { say "FAILED at step '$step_name': $*"; exit 1; }

if [ -f "$image/complete" ]; then echo "$image"; exit 0; fi

[ "$(id -u)" -eq 0 ] || die "building the image needs root (debootstrap and chroot); run the tests as root once"
mkdir -p "$cache" || die "cannot make $cache"
exec 9>"$cache/lock"
flock 9
# Another run may have built it while this one waited.
if [ -f "$image/complete" ]; then echo "$image"; exit 0; fi

# Unmounts everything below a folder, deepest first, and removes it
# without crossing into anything still mounted.
remove_tree() {
  local dir=$1 m
  [ -e "$dir" ] || return 0
  while read -r m; do umount -l "$m" 2>/dev/null || true; done < <(
    awk -v d="$(realpath "$dir")" '$2 == d || index($2, d "/") == 1 { print $2 }' /proc/self/mounts | sort -r)
  if awk -v d="$(realpath "$dir")" '$2 == d || index($2, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mounts; then
    die "$dir still has mounts below it; not removing it"
  fi
  rm -rf --one-file-system "$dir"
}

# Earlier images (another hash) and the leftovers of killed builds.
for old in "$cache"/*; do
  [ -d "$old" ] || continue
  [ "$old" = "$image" ] && [ -f "$old/complete" ] && continue
  say "removing $(basename "$old") (stale or unfinished)"
  remove_tree "$old"
done

work=$cache/$key.partial.$$
mkdir -p "$work"
# The chroot's mounts never outlive this run; the unfinished folder itself
# is cleared by the next build.
trap 'for m in dev/pts dev sys proc; do umount -l "$work/root/$m" 2>/dev/null || true; done' EXIT
log=$work/build.log

# Runs a step's command with its output in the log; on failure shows the
# log's end and names the step, telling a full disk apart.
run() {
  if "$@" >>"$log" 2>&1; then return 0; fi
  tail -n 15 "$log" >&2
  local avail
  avail=$(df -Pk "$cache" | awk 'NR == 2 { print $4 }')
  if [ "${avail:-0}" -lt 1048576 ]; then die "the disk holding $cache is full (${avail:-0} KB free)"; fi
  if grep -qE 'Failed to fetch|Could not resolve|Temporary failure|Unable to fetch|Couldn.t download|Release signed by unknown' "$log"; then
    die "a download failed (see above)"
  fi
  die "'$*' failed (see above)"
}

step "installing the host packages (QEMU, debootstrap, busybox)"
run bash "$root_dir/scripts/deps.sh" vm

# The mirror that this machine's apt uses (first Debian source).
mirror=$(
  { cat /etc/apt/sources.list 2>/dev/null | awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }'
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk 'tolower($1) == "uris:" { print $2 }'
  } | grep -v -- '-security' | head -n 1)
[ -n "$mirror" ] || die "no Debian mirror found in /etc/apt"

step "debootstrap of bookworm (minbase, amd64)"
run debootstrap --variant=minbase --arch=amd64 bookworm "$work/root" "$mirror"

step "installing Wine in the image"
chroot_run() { run chroot "$work/root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"; }
mount -t proc proc "$work/root/proc"
mount -t sysfs sys "$work/root/sys"
mount --bind /dev "$work/root/dev"
mount --bind /dev/pts "$work/root/dev/pts"
cp /etc/resolv.conf "$work/root/etc/resolv.conf" 2>/dev/null || true
# The same sources as the host's apt, and no check of the lists' dates
# (a mirror may serve a snapshot).
cp -a /etc/apt/sources.list.d/. "$work/root/etc/apt/sources.list.d/" 2>/dev/null || true
rm -f "$work/root/etc/apt/sources.list.d/"*.disabled* "$work/root/etc/apt/sources.list.d/"*.list.*
if [ -s /etc/apt/sources.list ]; then cp /etc/apt/sources.list "$work/root/etc/apt/sources.list"; fi
if ls "$work/root/etc/apt/sources.list.d/"*.sources >/dev/null 2>&1; then rm -f "$work/root/etc/apt/sources.list"; fi
printf 'Acquire::Check-Valid-Until "false";\nAcquire::Check-Date "false";\n' >"$work/root/etc/apt/apt.conf.d/99nrv"
chroot_run dpkg --add-architecture i386
chroot_run apt-get update -q
chroot_run apt-get install -y -q --no-install-recommends wine wine32:i386 libstdc++6 procps xxd
chroot_run apt-get clean

step "fetching Debian's kernel"
kpkg=$(chroot "$work/root" apt-cache depends linux-image-amd64 2>>"$log" | awk '/Depends: linux-image-/ { print $2; exit }')
[ -n "$kpkg" ] || die "no kernel package found for linux-image-amd64"
mkdir -p "$work/root/var/tmp/kernel"
run chroot "$work/root" sh -c "cd /var/tmp/kernel && apt-get download $kpkg"
umount -l "$work/root/dev/pts" "$work/root/dev" "$work/root/sys" "$work/root/proc"
rm -f "$work/root/etc/resolv.conf"
mkdir -p "$work/kernel"
run dpkg-deb -x "$work/root/var/tmp/kernel/"*.deb "$work/kernel"
rm -rf "$work/root/var/tmp/kernel"
cp "$work/kernel/boot/vmlinuz-"* "$work/vmlinuz"

step "making the initramfs"
mods=$(ls -d "$work/kernel/lib/modules/"*)
run /bin/busybox depmod -b "$work/kernel" "$(basename "$mods")"
initrd_dir=$work/initrd.d
mkdir -p "$initrd_dir/bin" "$initrd_dir/mod" "$initrd_dir/newroot" "$initrd_dir/proc" "$initrd_dir/sys" "$initrd_dir/dev"
cp /bin/busybox "$initrd_dir/bin/busybox"
# The modules that mount the root, each after what it depends on.
order=()
add_module() {
  local name=$1 path deps d
  path=$(awk -F: -v n="$name" '{ f = $1; sub(/.*\//, "", f); sub(/\.ko(\.[a-z]+)?$/, "", f); gsub(/-/, "_", f) } f == n { print $1; exit }' "$mods/modules.dep")
  if [ -z "$path" ]; then
    grep -qE "/${name//_/[-_]}\.ko" "$mods/modules.builtin" 2>/dev/null && return 0
    die "kernel module $name not found"
  fi
  deps=$(awk -F: -v p="$path" '$1 == p { print $2; exit }' "$mods/modules.dep")
  for d in $deps; do
    d=${d##*/}; d=${d%%.ko*}; add_module "${d//-/_}"
  done
  local seen
  for seen in "${order[@]}"; do [ "$seen" = "$path" ] && return 0; done
  order+=("$path")
}
for m in virtio_pci 9pnet_virtio 9p; do add_module "$m"; done
: >"$initrd_dir/mod/order"
for path in "${order[@]}"; do
  f=${path##*/}
  case "$f" in
    *.ko.xz) xz -dc "$mods/$path" >"$initrd_dir/mod/${f%.xz}"; f=${f%.xz} ;;
    *.ko.zst) zstd -qdc "$mods/$path" >"$initrd_dir/mod/${f%.zst}"; f=${f%.zst} ;;
    *) cp "$mods/$path" "$initrd_dir/mod/$f" ;;
  esac
  echo "$f" >>"$initrd_dir/mod/order"
done
cat >"$initrd_dir/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sys /sys
/bin/busybox mount -t devtmpfs dev /dev
for m in $(/bin/busybox cat /mod/order); do /bin/busybox insmod /mod/$m; done
if /bin/busybox mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 nrvroot /newroot; then
  /bin/busybox umount /proc /sys /dev
  exec /bin/busybox switch_root /newroot /sbin/nrv-init
fi
echo "nrv-initrd: cannot mount the root"
/bin/busybox poweroff -f
EOF
chmod 755 "$initrd_dir/init"
(cd "$initrd_dir" && find . | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initrd") ||
  die "cpio of the initramfs failed"
rm -rf "$initrd_dir" "$work/kernel"

step "writing the machine's init"
# Runs as PID 1 in the machine: mounts the job's folder (tag nrvjob) and
# the host folders the job names, runs /nrv-job/run.sh as the host's user,
# records its exit status and powers off. /nrv-job/started tells the host
# that the machine came up; /nrv-job/status that the job ended.
cat >"$work/root/sbin/nrv-init" <<'EOF'
#!/bin/sh
# HOME on the machine's own tmpfs: what a job writes there stays off the
# shared root.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp LC_ALL=C
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
chmod 1777 /tmp
echo 1 >/proc/sys/kernel/sysrq
hostname nrv-wine
opts=trans=virtio,version=9p2000.L,msize=512000
mkdir -p /nrv-job
if mount -t 9p -o $opts nrvjob /nrv-job && [ -f /nrv-job/env ]; then
  . /nrv-job/env
  ok=1
  # NRV_SHARES: "tag=path" words; each host folder at its own path.
  for share in $NRV_SHARES; do
    mkdir -p "${share#*=}" && mount -t 9p -o $opts "${share%%=*}" "${share#*=}" || ok=0
  done
  if [ "$ok" = 1 ]; then
    date +%s >/nrv-job/started
    if [ "${NRV_UID:-0}" = 0 ]; then
      sh /nrv-job/run.sh >/nrv-job/log 2>&1
    else
      setpriv --reuid="$NRV_UID" --regid="$NRV_GID" --clear-groups sh /nrv-job/run.sh >/nrv-job/log 2>&1
    fi
    echo $? >/nrv-job/status.tmp
    mv /nrv-job/status.tmp /nrv-job/status
  else
    echo "nrv-init: cannot mount the shared folders" >/nrv-job/mount-failed
  fi
fi
sync
echo o >/proc/sysrq-trigger
sleep 30
EOF
chmod 755 "$work/root/sbin/nrv-init"

step "making the template prefix inside the machine (some three minutes)"
job=$work/template-job
mkdir -p "$job"
cat >"$job/run.sh" <<'EOF'
set -e
wine --version
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=/opt/nrv/template.tmp
rm -rf /opt/nrv/template.tmp /opt/nrv/template
mkdir -p /opt/nrv
wineboot -i
wineserver -w
test -f "$WINEPREFIX/system.reg"
mv "$WINEPREFIX" /opt/nrv/template
EOF
if ! NRV_VM_TRIES=3 bash "$here/vm-run.sh" "$work" "$job" 1200 >>"$log" 2>&1; then
  tail -n 20 "$log" >&2
  die "the machine could not make the template prefix"
fi
[ -f "$work/root/opt/nrv/template/system.reg" ] || die "no template prefix in the image"
rm -rf "$job"

step "done"
du -sh "$work" >&2 || true
date -u +%FT%TZ >"$work/complete"
trap - EXIT
mv "$work" "$image"
echo "$image"
