#!/usr/bin/env bash
# End-to-end runs of the real DLLs (dist/NRVPNP.dll, dist/NRVKSYS.dll) under
# Wine: nrvharness.exe loads a DLL and calls its exports as a setup program
# does; afterwards the state of the prefix is checked: the spooler's keys,
# the driver files, the user's default printer, the device nodes, the
# dacl.exe starts and the message boxes shown.
#
#   run_cases.sh [CASE...]    (no case: all of them)
#
# Run so, the cases run natively, one after the other, each in a fresh copy
# of the template prefix (made when there is none yet). The tests run them
# through batch.sh instead, which starts Wine natively or inside a virtual
# machine, copies each case's prefix beforehand (NRV_BATCH=1 tells this
# script that the prefix is ready and that the batch removes it) and ends a
# case that outlives its time limit.
#
# Environment: NRV_DIST_DIR (the DLLs, default dist/), NRV_WINE_BIN (the
# harness programs, default build/cross/tests/wine), NRV_WINE_WORK (the
# prefixes, default build/wine-e2e).
#
# The registry is read from the prefix's hive files (system.reg, user.reg)
# once wineserver has written them: they keep every value's type and exact
# data, so a string written without its NUL, or with one NUL too many,
# shows (wine reg query prints both alike). A REG_MULTI_SZ appears there as
# str(7):"...\0", the last NUL of the list implied.
#
# Message boxes and dacl.exe starts are read from Wine's relay trace of
# user32.MessageBoxA and kernel32.WinExec. Without a display MessageBoxA
# returns -1 at once, so a box does not hold the run.
set -u
set -o pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dist=${NRV_DIST_DIR:-$root/dist}
bin=${NRV_WINE_BIN:-$root/build/cross/tests/wine}
work=${NRV_WINE_WORK:-$root/build/wine-e2e}
template=$work/template

ALL_CASES=(fresh_winxp fresh_win2k reinstall_winxp uninstall_then_create_winxp nt40 copies_winxp
  remove_held_winxp deploy_held_winxp win98 version_info nsis_winxp nsis_win98 nsis_faults_winxp)

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: [$case] $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: [$case] $*"; }
# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
# same DESCRIPTION GOT WANT
same() {
  if [ "$2" == "$3" ]; then pass "$1"; else fail "$1: got '$2', want '$3'"; fi
}

export LC_ALL=C
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

make_template() {
  rm -rf "$template" "$template.tmp"
  mkdir -p "$work"
  echo "making the template prefix ($(wine --version))"
  WINEPREFIX=$template.tmp wineboot -i >/dev/null 2>&1
  WINEPREFIX=$template.tmp wineserver -w
  [ -f "$template.tmp/system.reg" ] || { echo "FAIL: wineboot made no prefix"; return 1; }
  mv "$template.tmp" "$template"
}

# ---------------------------------------------------------------------------
# Registry: the hive files of the current prefix.

# The hive is read once for each state of it: hive_index makes, beside the
# hive, an index that holds every key line as "key<TAB>[Key" and every
# value line as "key<TAB>line", the key with single backslashes and in
# lower case (the registry compares names without regard to case), and
# makes it again once the hive is written anew. A query is then one grep
# of the index; the rest is done by the shell itself.
hive_index() {
  idx=$1.idx
  if [ "$idx" -nt "$1" ]; then return 0; fi
  [ -f "$1" ] || { : >"$idx"; return 0; }
  awk '
    /^\[/ { key = $0; sub(/^\[/, "", key); sub(/\] [0-9]+$/, "", key); gsub(/\\\\/, "\\", key)
            lkey = tolower(key); print lkey "\t[" key; next }
    lkey != "" && /^(".*"|@)=/ { print lkey "\t" $0 }
  ' "$1" >"$idx.tmp" && mv "$idx.tmp" "$idx"
}
# The index lines of FILE whose key, in lower case, is matched by the
# basic regular expression made of KEY and then SUFFIX.
hive_grep() {
  local k=${2,,}
  k=${k//\\/\\\\}; k=${k//./\\.}; k=${k//\*/\\*}; k=${k//\[/\\[}; k=${k//\]/\\]}; k=${k//^/\\^}; k=${k//\$/\\\$}
  hive_index "$1"
  grep -- "^$k$3" "$idx"
}
# The values of one key, as the hive writes them: "name"=data, one a line.
# The key path is given with single backslashes, relative to the hive's
# root.
hive_values() {
  local line
  hive_grep "$1" "$2" '	\("\|@\)' | while IFS= read -r line; do printf '%s\n' "${line#*	}"; done
}
# The data of one value of one key ("" when the key or the value is missing).
hive_value() {
  local line name want="\"${3,,}\""
  hive_values "$1" "$2" | while IFS= read -r line; do
    name=${line%%=*}
    if [ "${name,,}" == "$want" ]; then printf '%s\n' "${line#*=}"; break; fi
  done
}
hive_has_key() { hive_grep "$1" "$2" '	\[' >/dev/null; }
# The names of the direct subkeys of a key, sorted.
hive_subkeys() {
  local line rest
  hive_grep "$1" "$2" '\\[^	]*	\[' | while IFS= read -r line; do
    rest=${line#*	[}
    rest=${rest:${#2}+1}
    printf '%s\n' "${rest%%\\*}"
  done | sort -u
}
sysreg() { echo "$WINEPREFIX/system.reg"; }
usrreg() { echo "$WINEPREFIX/user.reg"; }

key_present() { check "key HKLM\\$1 present" hive_has_key "$(sysreg)" "$1"; }
hive_lacks_key() { ! hive_has_key "$@"; }
key_absent() { check "key HKLM\\$1 absent" hive_lacks_key "$(sysreg)" "$1"; }
hklm_value() { same "HKLM\\$1 : $2" "$(hive_value "$(sysreg)" "$1" "$2")" "$3"; }
hkcu_value() { same "HKCU\\$1 : $2" "$(hive_value "$(usrreg)" "$1" "$2")" "$3"; }

# ---------------------------------------------------------------------------
# The machine.

PRINTER='Norvale TX-5400 Series'
SETTINGS='Software\Microsoft\Windows NT\CurrentVersion\Windows'
DEVICES='Software\Microsoft\Windows NT\CurrentVersion\Devices'
PRINTERPORTS='Software\Microsoft\Windows NT\CurrentVersion\PrinterPorts'
PRINTERS='System\CurrentControlSet\Control\Print\Printers'
NTDRIVERS='System\CurrentControlSet\Control\Print\Environments\Windows NT x86\Drivers'
LPTENUM='System\CurrentControlSet\Enum\LPTENUM'
PARENT_ID_PREFIX='7&3a5c91d&0'
INSTANCE="$PARENT_ID_PREFIX&LPT1.4"
NODE="$LPTENUM\\NorvaleTX-5400\\$INSTANCE"
SESSION='System\CurrentControlSet\Control\Session Manager'
DRIVER_FILES=(nrvs1.dll nrvs1.sdd nrvs1ui.dll nrvs1su.hlp nrvs1um.dll nrvs1su.dat nrvs1su.dll)

drive_c() { echo "$WINEPREFIX/drive_c"; }
driver_dir() { echo "$WINEPREFIX/drive_c/windows/system32/spool/drivers/w32x86"; }
version_dir() { echo "$(driver_dir)/2"; }

# A fresh prefix for the case, reporting Windows version $1.
new_prefix() {
  export WINEPREFIX=$work/cases/$case
  wineserver -k >/dev/null 2>&1 || true
  if [ "${NRV_BATCH:-0}" != 1 ]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$work/cases"
    cp -a "$template" "$WINEPREFIX"
  elif [ ! -f "$WINEPREFIX/system.reg" ]; then
    fail "the batch left no prefix in $WINEPREFIX"
  fi
  mkdir -p "$(drive_c)/nrv"
  cp "$bin/nrvharness.exe" "$bin/dacl.exe" "$dist/NRVPNP.dll" "$dist/NRVKSYS.dll" "$(drive_c)/nrv/"
  # The relay trace of two functions only: the message boxes and the starts.
  regimport <<EOF
[HKEY_CURRENT_USER\\Software\\Wine]
"Version"="$1"

[HKEY_CURRENT_USER\\Software\\Wine\\Debug]
"RelayInclude"="user32.MessageBoxA;kernel32.WinExec"
EOF
}

regimport() {
  local file=$WINEPREFIX/drive_c/nrv/import.reg
  { printf 'REGEDIT4\r\n\r\n'; sed 's/$/\r/'; } >"$file"
  wine reg import 'C:\nrv\import.reg' >/dev/null 2>&1 || { fail "wine reg import"; cat "$file"; }
}

# The setup program has put the driver files into the spooler's driver
# directory. nrvs1.dll is a real PE image (a copy of dacl.exe), so that a
# case can map it as the spooler maps a driver it has loaded.
place_driver_files() {
  mkdir -p "$(driver_dir)"
  cp "$bin/dacl.exe" "$(driver_dir)/nrvs1.dll"
  local f
  for f in "${DRIVER_FILES[@]:1}"; do echo "$f of the Norvale TX-5400 driver" >"$(driver_dir)/$f"; done
}

# Left over from an earlier setup: the INF, PNF and BPD files.
place_inf_files() {
  mkdir -p "$(drive_c)/windows/inf" "$(version_dir)"
  echo "[Version]" >"$(drive_c)/windows/inf/NRVS1.INF"
  echo "pnf" >"$(drive_c)/windows/inf/NRVS1.PNF"
  echo "bpd" >"$(version_dir)/NRVS1.BPD"
}

# An NT machine with a parallel port, another printer that is the user's
# default, and the printer's keys in three numbered control sets (Wine has
# a plain CurrentControlSet key and no numbered sets of its own); the
# setup program has placed the driver files.
prepare_nt() {
  place_driver_files
  prepare_nt_machine
}

# The same machine before the setup program has placed anything.
prepare_nt_machine() {
  place_inf_files
  harness_plain --add-printer "Office Laser" LPT2:
  regimport <<EOF
[HKEY_CURRENT_USER\\$SETTINGS]
"Device"="Office Laser,winspool,LPT2:"

[HKEY_CURRENT_USER\\Printers]
"DeviceOld"="$PRINTER,winspool,LPT1:"

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS\\0000]
"ParentIdPrefix"="$PARENT_ID_PREFIX"

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\LPTENUM]

[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Print\\Printers\\$PRINTER\\PrinterDriverData]
"Model"="TX-5400"

[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-2\\$PRINTER]
"Driver"="nrvs1.dll"

[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Control\\Print\\Printers\\$PRINTER]
"Port"="LPT1:"

[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet003\\Control\\Print\\Printers\\$PRINTER\\PrinterDriverData]
"Model"="TX-5400"

[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet003\\Control\\Print\\Printers\\$PRINTER\\Queue Extras]
"Kept"="yes"
EOF
}

# Runs the harness without the checks of a step (machine preparation).
harness_plain() {
  (cd "$(drive_c)/nrv" && wine nrvharness.exe "$@") >"$WINEPREFIX/prepare.out" 2>&1 ||
    { fail "harness $*"; cat "$WINEPREFIX/prepare.out"; }
}

# harness LABEL ARGS...: one run of the harness (traced).
harness() {
  local label=$1; shift
  traced "$label" 0 "$(drive_c)/nrv" nrvharness.exe "$@"
}

# traced LABEL STATUS DIR PROGRAM ARGS...: one run of a program, started in
# DIR, whose exit status must be STATUS; then wait until every process of
# the prefix (dacl.exe too) has ended and the hives are written. The run's
# standard output and error land in $WINEPREFIX/LABEL.out and LABEL.err,
# its message boxes in LABEL.boxes and its WinExec calls in LABEL.execs,
# one a line, pointers left out:
#   00000000,"text","caption",00000000   and   "command line",00000005
traced() {
  local label=$1 want=$2 dir=$3 program=$4; shift 4
  local out=$WINEPREFIX/$label
  local rc=0
  (cd "$dir" && WINEDEBUG=-all,+relay wine "$program" "$@") >"$out.out" 2>"$out.err" || rc=$?
  wineserver -w
  sed 's/\r$//' "$out.out" | grep -E '^(FAIL|time)' | sed "s/^/    [$label] /"
  same "$label: ${program##*\\} ($*) exits" "$rc" "$want"
  local calls='s/[0-9a-f]\{8\} "/"/g; s/) ret=[0-9a-f]*$//'
  grep -E '^[0-9a-f]+:Call user32\.MessageBoxA\(' "$out.err" | sed 's/^.*MessageBoxA(//' | sed "$calls" >"$out.boxes"
  grep -E '^[0-9a-f]+:Call (KERNEL32|kernel32)\.WinExec\(' "$out.err" | sed 's/^.*WinExec(//' | sed "$calls" >"$out.execs"
}

no_boxes() { same "$1: no message box" "$(cat "$WINEPREFIX/$1.boxes")" ""; }
no_dacl() {
  same "$1: dacl.exe not started" "$(cat "$WINEPREFIX/$1.execs")" ""
  check "$1: no dacl.exe log" test ! -e "$(drive_c)/dacl.log"
}

# ---------------------------------------------------------------------------
# What an install and a removal leave.

expect_files_deployed() {
  local f missing=""
  for f in "${DRIVER_FILES[@]}"; do
    cmp -s "$(driver_dir)/$f" "$(version_dir)/$f" || missing="$missing $f"
  done
  same "$1: the seven driver files in w32x86\\2, equal to their sources" "$missing" ""
}

expect_inf_files_gone() {
  local f left=""
  for f in windows/inf/NRVS1.INF windows/inf/NRVS1.PNF windows/system32/spool/drivers/w32x86/2/NRVS1.BPD; do
    [ -e "$(drive_c)/$f" ] && left="$left $f"
  done
  same "$1: NRVS1.INF, NRVS1.PNF and NRVS1.BPD deleted" "$left" ""
}

# Wine files a driver for "Windows NT x86" under Version-3 (whatever the
# version, and this driver says 3).
expect_nt_driver() {
  local key="$NTDRIVERS\\Version-3\\$PRINTER"
  key_present "$key"
  hklm_value "$key" "Driver" '"nrvs1.dll"'
  hklm_value "$key" "Data File" '"nrvs1.sdd"'
  hklm_value "$key" "Configuration File" '"nrvs1ui.dll"'
  hklm_value "$key" "Version" 'dword:00000003'
}

expect_nt_queue() {
  local key="$PRINTERS\\$PRINTER"
  key_present "$key"
  hklm_value "$key" "Attributes" 'dword:000f0045'
  hklm_value "$key" "Port" '"LPT1:"'
  hklm_value "$key" "Printer Driver" "\"$PRINTER\""
  hklm_value "$key" "Print Processor" '"WinPrint"'
  hklm_value "$key" "Datatype" '"RAW"'
  hklm_value "$key" "Share Name" '"Norvale TX-5400"'
  hklm_value "$key" "Priority" 'dword:00000000'
  hklm_value "$key" "Default Priority" 'dword:00000000'
  hklm_value "$key" "StartTime" 'dword:00000000'
  hklm_value "$key" "UntilTime" 'dword:00000000'
  same "queue keys named like the printer" "$(hive_subkeys "$(sysreg)" "$PRINTERS" | grep -c '^Norvale TX-5400 Series')" 1
}

expect_default_is_norvale() {
  hkcu_value "$SETTINGS" "Device" "\"$PRINTER,winspool,LPT1:\""
}

expect_device_node() {
  key_present "$NODE"
  local want
  want=$(cat <<'EOF'
"Capabilities"=dword:00000040
"Class"="PRINTER"
"ClassGUID"="{4D36E979-E325-11CE-BFC1-08002BE10318}"
"CompatibleIDs"=str(7):"NORVALETX-9E2D47B1\0"
"ConfigFlags"=dword:00000000
"DeviceDesc"="Norvale TX-5400 Series"
"Driver"="nrvs1.dll"
"HardwareID"=str(7):"LPTENUM\\NorvaleTX-5400C83B\0"
"LocationInformation"="LPT1.4"
"Mfg"="Norvale"
EOF
)
  same "device node $INSTANCE holds exactly the ten values" "$(hive_values "$(sysreg)" "$NODE" | sort)" "$want"
  same "device node's subkeys" "$(hive_subkeys "$(sysreg)" "$NODE" | tr '\n' '|')" "Control|Device Parameters|LogConf|"
  same "model key holds the one instance" "$(hive_subkeys "$(sysreg)" "$LPTENUM\\NorvaleTX-5400" | tr '\n' '|')" "$INSTANCE|"
  same "Device Parameters holds PortName only" "$(hive_values "$(sysreg)" "$NODE\\Device Parameters")" '"PortName"="LPT1:"'
  same "LogConf empty" "$(hive_values "$(sysreg)" "$NODE\\LogConf")$(hive_subkeys "$(sysreg)" "$NODE\\LogConf")" ""
  same "Control empty" "$(hive_values "$(sysreg)" "$NODE\\Control")$(hive_subkeys "$(sysreg)" "$NODE\\Control")" ""
}

expect_nt_installed() {
  no_boxes "$1"
  expect_inf_files_gone "$1"
  expect_files_deployed "$1"
  expect_nt_driver
  expect_nt_queue
  expect_default_is_norvale
  same "$1: no moved-aside copies in w32x86\\2" "$(cd "$(version_dir)" && ls | grep -E '\.[0-9]{3,}$')" ""
  # The other printer is still there.
  key_present "$PRINTERS\\Office Laser"
}

# expect_nt_removed LABEL [staged-gone]: the library leaves the files in
# the driver directory alone; the example's uninstaller deletes them.
expect_nt_removed() {
  local label=$1 f left=""
  for f in "${DRIVER_FILES[@]}"; do [ -e "$(version_dir)/$f" ] && left="$left $f"; done
  same "$label: the seven driver files gone from w32x86\\2" "$left" ""
  left=""
  if [ "${2:-}" = staged-gone ]; then
    for f in "${DRIVER_FILES[@]}"; do [ -e "$(driver_dir)/$f" ] && left="$left $f"; done
    same "$label: the seven driver files gone from the driver directory" "$left" ""
  else
    for f in "${DRIVER_FILES[@]}"; do [ -e "$(driver_dir)/$f" ] || left="$left $f"; done
    same "$label: the driver directory's own files untouched" "$left" ""
  fi
  key_absent "$PRINTERS\\$PRINTER"
  key_absent "$NTDRIVERS\\Version-3\\$PRINTER"
  key_absent "$NTDRIVERS\\Version-2\\$PRINTER"
  hkcu_value "$DEVICES" "$PRINTER" ""
  hkcu_value "$PRINTERPORTS" "$PRINTER" ""
  hkcu_value "Printers" "DeviceOld" ""
  # The numbered control sets: the printer's and the driver's keys go,
  # PrinterDriverData first; a printer key with another subkey stays.
  key_absent "SYSTEM\\ControlSet001\\Control\\Print\\Printers\\$PRINTER"
  key_absent "SYSTEM\\ControlSet001\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-2\\$PRINTER"
  key_absent "SYSTEM\\ControlSet002\\Control\\Print\\Printers\\$PRINTER"
  key_absent "SYSTEM\\ControlSet003\\Control\\Print\\Printers\\$PRINTER\\PrinterDriverData"
  key_present "SYSTEM\\ControlSet003\\Control\\Print\\Printers\\$PRINTER\\Queue Extras"
  key_present "$PRINTERS\\Office Laser"
  key_present "$NTDRIVERS\\Version-3\\Office Laser Driver"
}

# Wine's DeletePrinter hands the default to another printer itself when it
# deletes the default one, writing "device" with Wine's own device entry
# ("wineps.drv,<port>", where Windows writes "winspool,<port>"). By the
# time RestoreDefaultPrinter runs, "Device" no longer names the printer
# and is left as Wine wrote it.
expect_default_restored_by_wine() {
  hkcu_value "$SETTINGS" "Device" '"Office Laser,wineps.drv,LPT2:"'
}

# An install over an earlier device node: dacl.exe started on its five
# keys, in order, each with SW_SHOW.
expect_dacl_started() {
  local base="dacl.exe /SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\NorvaleTX-5400"
  local want
  want=$(printf '%s\n' "$base" "$base\\$INSTANCE" "$base\\$INSTANCE\\Control" \
    "$base\\$INSTANCE\\Device Parameters" "$base\\$INSTANCE\\LogConf")
  # The relay trace doubles each backslash.
  same "$1: five WinExec calls in order, each with SW_SHOW" "$(cat "$WINEPREFIX/$1.execs")" \
    "$(sed 's/\\/\\\\/g; s/.*/"&",00000005/' <<<"$want")"
  # dacl.exe logs its start time before its command line; the five run at
  # once, so the log is put in the order of their starts.
  local log=$(drive_c)/dacl.log
  check "$1: dacl.exe log written" test -f "$log"
  same "$1: dacl.exe started five times with these command lines" \
    "$(sort -s -n -k1,1 "$log" 2>/dev/null | sed 's/\r$//; s/^[0-9]* //')" "$want"
}

# ---------------------------------------------------------------------------
# The cases.

fresh_nt5() {
  new_prefix "$1"
  prepare_nt
  harness install "C:\\nrv\\NRVPNP.dll" create
  expect_nt_installed install
  no_dacl install
  expect_device_node
  hkcu_value "$DEVICES" "$PRINTER" '"wineps.drv,LPT1:"'

  place_inf_files
  harness remove "C:\\nrv\\NRVPNP.dll" uninstall
  no_boxes remove
  expect_nt_removed remove
  expect_inf_files_gone remove
  key_absent "$LPTENUM\\NorvaleTX-5400"
  key_present "$LPTENUM"
  expect_default_restored_by_wine
  no_dacl remove
}
case_fresh_winxp() { fresh_nt5 winxp; }
case_fresh_win2k() { fresh_nt5 win2k; }

# Install twice in one load: the second install finds the first one's
# device node, starts dacl.exe on its five keys, deletes and rewrites it.
case_reinstall_winxp() {
  new_prefix winxp
  prepare_nt
  harness install "C:\\nrv\\NRVPNP.dll" create create
  expect_nt_installed install
  expect_device_node
  expect_dacl_started install
  # Wine's AddPrinterA of an existing name succeeds (Windows refuses it);
  # either way a single queue stays.
  same "install: one queue of the printer's name" \
    "$(hive_subkeys "$(sysreg)" "$PRINTERS" | tr '\n' '|')" "$PRINTER|Office Laser|"

  rm -f "$(drive_c)/dacl.log"
  harness remove "C:\\nrv\\NRVPNP.dll" uninstall
  no_boxes remove
  expect_nt_removed remove
  key_absent "$LPTENUM\\NorvaleTX-5400"
  expect_default_restored_by_wine
  no_dacl remove
}

# UninstallPrinter clears the recreate flag for the rest of the load: a
# CreatePrinter after it deletes the device node and writes none.
case_uninstall_then_create_winxp() {
  new_prefix winxp
  prepare_nt
  harness install "C:\\nrv\\NRVPNP.dll" create
  expect_device_node
  harness again "C:\\nrv\\NRVPNP.dll" uninstall create
  no_boxes again
  no_dacl again
  key_absent "$LPTENUM\\NorvaleTX-5400"
  expect_files_deployed again
  expect_nt_driver
  expect_nt_queue
  expect_default_is_norvale
}

# NT 4.0: no device node; the removal leaves the INF files and runs no
# sweep, so a copy of the queue stays.
case_nt40() {
  new_prefix nt40
  prepare_nt
  harness install "C:\\nrv\\NRVPNP.dll" create
  expect_nt_installed install
  no_dacl install
  key_absent "$LPTENUM\\NorvaleTX-5400"

  # A copy of the queue is the default; the Devices list ends with an entry
  # of no queue, which Wine's spooler does not touch.
  harness_plain --add-printer "$PRINTER (Copy 2)" LPT1: "$PRINTER"
  regimport <<EOF
[HKEY_CURRENT_USER\\$SETTINGS]
"Device"="$PRINTER (Copy 2),winspool,LPT1:"

[HKEY_CURRENT_USER\\$DEVICES]
"Zeta Plotter"="winspool,Ne00:"
EOF
  place_inf_files
  harness remove "C:\\nrv\\NRVPNP.dll" uninstall
  no_boxes remove
  expect_nt_removed remove
  local f left=0
  for f in windows/inf/NRVS1.INF windows/inf/NRVS1.PNF windows/system32/spool/drivers/w32x86/2/NRVS1.BPD; do
    [ -e "$(drive_c)/$f" ] && left=$((left + 1))
  done
  same "remove: NRVS1.INF, .PNF and .BPD kept on NT 4.0" "$left" 3
  key_present "$PRINTERS\\$PRINTER (Copy 2)"
  # Deleting the queue left the default alone (it names the copy), and the
  # copy's name begins with the printer's: RestoreDefaultPrinter hands the
  # default to the last entry of the Devices list.
  hkcu_value "$SETTINGS" "Device" '"Zeta Plotter,winspool,Ne00:"'
}

# Copies of the queue, and queues whose names only look alike.
case_copies_winxp() {
  new_prefix winxp
  prepare_nt
  harness install "C:\\nrv\\NRVPNP.dll" create
  expect_nt_installed install
  local copy
  for copy in "$PRINTER (Copy 2)" "$PRINTER (Copy 3)" "${PRINTER}X" "Norvale TX-5400" "norvale TX-5400 Series (Copy 4)"; do
    harness_plain --add-printer "$copy" LPT1: "$PRINTER"
  done
  harness remove "C:\\nrv\\NRVPNP.dll" uninstall
  no_boxes remove
  expect_nt_removed remove
  same "remove: the queues left" "$(hive_subkeys "$(sysreg)" "$PRINTERS" | tr '\n' '|')" \
    "Norvale TX-5400|Office Laser|norvale TX-5400 Series (Copy 4)|"
  same "remove: the Devices entries left" "$(hive_values "$(usrreg)" "$DEVICES" | sed 's/=.*//' | tr '\n' '|')" \
    '"Norvale TX-5400"|"norvale TX-5400 Series (Copy 4)"|"Office Laser"|'
  key_absent "$LPTENUM\\NorvaleTX-5400"
}

# Removal while two driver files are in use: nrvs1.dll mapped as an image
# (as the spooler maps a driver it has loaded; it can be renamed but not
# deleted) and nrvs1.sdd held open without delete sharing (neither deleted
# nor renamed).
case_remove_held_winxp() {
  new_prefix winxp
  prepare_nt
  harness install "C:\\nrv\\NRVPNP.dll" create
  expect_nt_installed install
  local v='C:\windows\system32\spool\drivers\w32x86\2'
  harness remove --map "$v\\nrvs1.dll" --hold "$v\\nrvs1.sdd" "C:\\nrv\\NRVPNP.dll" uninstall
  same "remove: one message box, for nrvs1.sdd (sharing violation, 32)" "$(cat "$WINEPREFIX/remove.boxes")" \
    '00000000,"DELETE FILE ERROR (32)\nFile Name : C:\\windows\\system32\\spool\\drivers\\w32x86\\2\\nrvs1.sdd","Norvale TX-5400 Series",00000000'
  check "remove: nrvs1.dll moved to nrvs1.dll.000" cmp -s "$(driver_dir)/nrvs1.dll" "$(version_dir)/nrvs1.dll.000"
  check "remove: nrvs1.sdd stays where it is" cmp -s "$(driver_dir)/nrvs1.sdd" "$(version_dir)/nrvs1.sdd"
  same "remove: what is left in w32x86\\2" "$(cd "$(version_dir)" && ls | tr '\n' ' ')" "nrvs1.dll.000 nrvs1.sdd "
  hklm_value "$SESSION" "PendingFileRenameOperations" \
    'str(7):"\\??\\C:\\windows\\system32\\spool\\drivers\\w32x86\\2\\nrvs1.dll.000\0\0"'
  key_absent "$PRINTERS\\$PRINTER"
  key_absent "$LPTENUM\\NorvaleTX-5400"
}

# A reinstall while the earlier nrvs1.dll is mapped, with nrvs1.dll.000
# left by an earlier removal: the earlier copy goes to nrvs1.dll.001 and
# is scheduled for deletion, the new copy takes its name.
case_deploy_held_winxp() {
  new_prefix winxp
  prepare_nt
  harness install "C:\\nrv\\NRVPNP.dll" create
  expect_nt_installed install
  cp "$(version_dir)/nrvs1.dll" "$WINEPREFIX/first-nrvs1.dll"
  echo "left by an earlier removal" >"$(version_dir)/nrvs1.dll.000"
  cp "$bin/nrvharness.exe" "$(driver_dir)/nrvs1.dll"  # the new version of the driver
  local v='C:\windows\system32\spool\drivers\w32x86\2'
  harness again --map "$v\\nrvs1.dll" "C:\\nrv\\NRVPNP.dll" create
  no_boxes again
  check "again: the new nrvs1.dll in place" cmp -s "$(driver_dir)/nrvs1.dll" "$(version_dir)/nrvs1.dll"
  check "again: the earlier nrvs1.dll moved to nrvs1.dll.001" cmp -s "$WINEPREFIX/first-nrvs1.dll" "$(version_dir)/nrvs1.dll.001"
  same "again: nrvs1.dll.000 untouched" "$(cat "$(version_dir)/nrvs1.dll.000")" "left by an earlier removal"
  expect_files_deployed again
  hklm_value "$SESSION" "PendingFileRenameOperations" \
    'str(7):"\\??\\C:\\windows\\system32\\spool\\drivers\\w32x86\\2\\nrvs1.dll.001\0\0"'
}

# A Windows 98 machine: another printer, and parallel ports under the BIOS
# and ACPI enumerators, two of them LPT1.
prepare_9x_machine() {
  harness_plain --add-printer "Office Laser" LPT2:
  regimport <<'EOF'
[HKEY_LOCAL_MACHINE\Enum\BIOS\*PNP0400\00]
"PORTNAME"="LPT1"

[HKEY_LOCAL_MACHINE\Enum\BIOS\*PNP0400\01]
"PORTNAME"="LPT2"

[HKEY_LOCAL_MACHINE\Enum\BIOS\*PNP0400\02]
"PORTNAME"="LPT1:"

[HKEY_LOCAL_MACHINE\Enum\ACPI\PNP0401\4&1d401fb5&0]
"PORTNAME"="LPT1"
EOF
}

NODE_9X='Enum\LPTENUM\NorvaleTX-5400C83B'
# Wine files a "Windows 4.0" driver under Version-0.
DRIVER_9X='System\CurrentControlSet\Control\Print\Environments\Windows 4.0\Drivers\Version-0\Norvale TX-5400 Series'
# The spooler's driver directory for "Windows 4.0".
win40_dir() { echo "$WINEPREFIX/drive_c/windows/system32/spool/drivers/win40"; }

# The 9x library's install: a device node for each BIOS or ACPI port whose
# PORTNAME is "LPT1", the queue and the driver.
expect_9x_installed() {
  same "$1: one node per LPT1 port" "$(hive_subkeys "$(sysreg)" "$NODE_9X" | tr '\n' '|')" \
    'ACPI&PNP0401&4&1d401fb5&0|BIOS&*PNP0400&00|'
  local want instance
  want=$(cat <<'EOF'
"Capabilities"=hex:14,00,00,00
"Class"="PRINTER"
"ConfigFlags"=hex:00,00,00,00
"DeviceDesc"="Norvale TX-5400 Series"
"HardwareID"="LPTENUM\\NorvaleTX-5400C83B"
"Manufacturer"="Norvale"
"Model"="Norvale TX-5400 Series"
EOF
)
  for instance in 'BIOS&*PNP0400&00' 'ACPI&PNP0401&4&1d401fb5&0'; do
    same "$1: node $instance holds exactly the seven values" "$(hive_values "$(sysreg)" "$NODE_9X\\$instance" | sort)" "$want"
  done
  key_present "$PRINTERS\\$PRINTER"
  hklm_value "$PRINTERS\\$PRINTER" "Port" '"LPT1"'
  hklm_value "$PRINTERS\\$PRINTER" "Attributes" 'dword:00000844'
  hklm_value "$PRINTERS\\$PRINTER" "Priority" 'dword:00000001'
  hklm_value "$PRINTERS\\$PRINTER" "Print Processor" '"WinPrint"'
  hklm_value "$PRINTERS\\$PRINTER" "Datatype" '"RAW"'
  hklm_value "$PRINTERS\\$PRINTER" "Share Name" ''
  # Wine records the version of the environment, 0, not the record's 0x400.
  key_present "$DRIVER_9X"
  hklm_value "$DRIVER_9X" "Driver" '"NRVS1.DRV"'
  hklm_value "$DRIVER_9X" "Data File" '"NRVS1.DRV"'
  hklm_value "$DRIVER_9X" "Configuration File" '"NRVS1.DRV"'
  hklm_value "$DRIVER_9X" "Help File" '"NRVS1.HLP"'
  hklm_value "$DRIVER_9X" "Dependent Files" 'str(7):"nrvs1.drv\0nrvs195.dll\0nrvs1su.hlp\0nrvs1um.dll\0nrvs1su.dll\0nrvs1su.dat\0"'
  hklm_value "$DRIVER_9X" "Datatype" '"RAW"'
  hklm_value "$DRIVER_9X" "Version" 'dword:00000000'
  hkcu_value "$DEVICES" "$PRINTER" '"wineps.drv,LPT1"'
}

# The 9x library's removal: nodes, queue and driver gone; the rest stays.
expect_9x_removed() {
  key_absent "$NODE_9X"
  key_present 'Enum\LPTENUM'
  key_absent "$PRINTERS\\$PRINTER"
  key_absent "$DRIVER_9X"
  hkcu_value "$DEVICES" "$PRINTER" ""
  key_present "$PRINTERS\\Office Laser"
  same "$1: Enum\\BIOS and Enum\\ACPI untouched" \
    "$(hive_subkeys "$(sysreg)" 'Enum\BIOS\*PNP0400' | tr '\n' '|')$(hive_value "$(sysreg)" 'Enum\ACPI\PNP0401\4&1d401fb5&0' PORTNAME)" \
    '00|01|02|"LPT1"'
}

# The 9x library under Wine's Windows 98: the driver and the queue, and a
# device node for each BIOS or ACPI port whose PORTNAME is "LPT1".
case_win98() {
  new_prefix win98
  local f
  mkdir -p "$(win40_dir)"
  for f in NRVS1.DRV NRVS1.HLP nrvs195.dll nrvs1um.dll nrvs1su.hlp nrvs1su.dll nrvs1su.dat; do
    echo "$f of the Norvale TX-5400 driver" >"$(win40_dir)/$f"
  done
  prepare_9x_machine
  harness install "C:\\nrv\\NRVKSYS.dll" create
  no_boxes install
  no_dacl install
  expect_9x_installed install

  harness clean "C:\\nrv\\NRVKSYS.dll" clean
  key_absent "$NODE_9X"
  key_present 'Enum\LPTENUM'
  key_present "$PRINTERS\\$PRINTER"

  harness remove "C:\\nrv\\NRVKSYS.dll" create uninstall
  no_boxes remove
  expect_9x_removed remove
}

# ---------------------------------------------------------------------------
# The example installer (examples/nsis), as a user runs it: silently, from
# its package, with NSIS's own loading and calling of the libraries.

SETUP_KEY='Software\Microsoft\Windows\CurrentVersion\Uninstall\NorvaleTX5400'
SETUP_DIR='C:\Program Files\Norvale\TX-5400'

# The package as the build leaves it in dist/: the installer and, unless
# --without-drivers, the driver folders beside it; in C:\setup.
place_setup_package() {
  local to
  to=$(drive_c)/setup
  mkdir -p "$to"
  cp "$dist/NorvaleTX5400Setup.exe" "$to/"
  if [ "${1:-}" != --without-drivers ]; then cp -r "$dist/drivers" "$to/"; fi
}

# setup LABEL STATUS ARGS...: the installer, started in its package folder.
setup() {
  local label=$1 want=$2; shift 2
  traced "$label" "$want" "$(drive_c)/setup" NorvaleTX5400Setup.exe "$@"
}

# uninstall LABEL: the uninstaller, started as the registered silent
# command starts it. It copies itself to a temporary folder and runs the
# copy, and its own status is that of the start: the end state shows the
# run.
uninstall() {
  same "$1: the registered silent uninstall command" "$(hive_value "$(sysreg)" "$SETUP_KEY" QuietUninstallString)" \
    '"\"C:\\Program Files\\Norvale\\TX-5400\\uninstall.exe\" /S"'
  traced "$1" 0 "$(drive_c)" "$SETUP_DIR\\uninstall.exe" /S
}

# setup_stderr LABEL: what the run wrote to standard error, without Wine's
# own lines (each begins with a thread number and a colon).
setup_stderr() { grep -av '^[0-9a-f]\{4,\}:' "$WINEPREFIX/$1.err" | sed 's/\r$//'; }

# expect_package_placed LABEL FOLDER DIR: the package's driver files of
# FOLDER (nt or 9x) in DIR, as they came.
expect_package_placed() {
  local f names="" differ=""
  for f in "$dist/drivers/$2"/*; do
    names="$names ${f##*/}"
    cmp -s "$f" "$3/${f##*/}" || differ="$differ ${f##*/}"
  done
  same "$1: the package's $2 driver files" "$names" "$(if [ "$2" = nt ]; then
    echo " nrvs1.dll nrvs1.sdd nrvs1su.dat nrvs1su.dll nrvs1su.hlp nrvs1ui.dll nrvs1um.dll"; else
    echo " NRVS1.DRV NRVS1.HLP nrvs195.dll nrvs1su.dat nrvs1su.dll nrvs1su.hlp nrvs1um.dll"; fi)"
  same "$1: the package's $2 driver files copied to ${3##*/drive_c/}" "$differ" ""
}

expect_setup_registered() {
  hklm_value "$SETUP_KEY" DisplayName "\"$PRINTER\""
  hklm_value "$SETUP_KEY" Publisher '"Norvale"'
  hklm_value "$SETUP_KEY" UninstallString '"\"C:\\Program Files\\Norvale\\TX-5400\\uninstall.exe\""'
  hklm_value "$SETUP_KEY" NoModify 'dword:00000001'
  hklm_value "$SETUP_KEY" NoRepair 'dword:00000001'
  check "$1: uninstall.exe in C:\\Program Files\\Norvale\\TX-5400" test -f "$(drive_c)/Program Files/Norvale/TX-5400/uninstall.exe"
}

expect_setup_unregistered() {
  key_absent "$SETUP_KEY"
  check "$1: C:\\Program Files\\Norvale gone" test ! -e "$(drive_c)/Program Files/Norvale"
}

# XP: install, install again over it, uninstall, uninstall again.
case_nsis_winxp() {
  new_prefix winxp
  prepare_nt_machine
  place_setup_package
  setup install 0 /S
  same "install: nothing on standard error" "$(setup_stderr install)" ""
  expect_package_placed install nt "$(driver_dir)"
  expect_nt_installed install
  expect_device_node
  no_dacl install
  expect_setup_registered install

  # Over the first install: the library finds the device node and starts
  # dacl.exe, which the installer has put on the program search path.
  setup again 0 /S
  expect_nt_installed again
  expect_device_node
  expect_dacl_started again
  expect_setup_registered again

  rm -f "$(drive_c)/dacl.log"
  cp "$(drive_c)/Program Files/Norvale/TX-5400/uninstall.exe" "$(drive_c)/nrv/uninstall-kept.exe"
  uninstall remove
  no_boxes remove
  no_dacl remove
  expect_nt_removed remove staged-gone
  key_absent "$LPTENUM\\NorvaleTX-5400"
  expect_default_restored_by_wine
  expect_setup_unregistered remove

  # A second uninstall (a kept copy, run in place so that its status is
  # its own) finds nothing to remove and changes nothing.
  traced remove-again 0 "$(drive_c)/nrv" uninstall-kept.exe /S "_?=$SETUP_DIR"
  no_boxes remove-again
  same "remove-again: nothing on standard error" "$(setup_stderr remove-again)" ""
  expect_nt_removed remove-again staged-gone
  key_absent "$LPTENUM\\NorvaleTX-5400"
  expect_default_restored_by_wine
  expect_setup_unregistered remove-again
}

# Windows 98: the installer takes NRVKSYS.dll and the 9x driver files.
case_nsis_win98() {
  new_prefix win98
  prepare_9x_machine
  place_setup_package
  setup install 0 /S
  same "install: nothing on standard error" "$(setup_stderr install)" ""
  no_boxes install
  no_dacl install
  expect_package_placed install 9x "$(win40_dir)"
  expect_9x_installed install
  expect_setup_registered install

  setup again 0 /S
  no_boxes again
  no_dacl again
  expect_9x_installed again
  expect_setup_registered again

  uninstall remove
  no_boxes remove
  expect_9x_removed remove
  local f left=""
  for f in "$dist/drivers/9x"/*; do [ -e "$(win40_dir)/${f##*/}" ] && left="$left ${f##*/}"; done
  same "remove: the package's driver files gone from win40" "$left" ""
  expect_setup_unregistered remove
}

# Nothing changed: the INF files that the install deletes first are there,
# no driver file was copied, no printer, no registration.
expect_setup_changed_nothing() {
  local f n=0
  for f in windows/inf/NRVS1.INF windows/inf/NRVS1.PNF windows/system32/spool/drivers/w32x86/2/NRVS1.BPD; do
    [ -e "$(drive_c)/$f" ] && n=$((n + 1))
  done
  same "$1: NRVS1.INF, .PNF and .BPD still there" "$n" 3
  local left=""
  for f in "${DRIVER_FILES[@]}"; do [ -e "$(driver_dir)/$f" ] || [ -e "$(version_dir)/$f" ] && left="$left $f"; done
  same "$1: no driver file copied" "$left" ""
  key_absent "$PRINTERS\\$PRINTER"
  hkcu_value "$SETTINGS" "Device" '"Office Laser,winspool,LPT2:"'
  key_absent "$SETUP_KEY"
  check "$1: nothing in C:\\Program Files\\Norvale" test ! -e "$(drive_c)/Program Files/Norvale"
}

# A package without its driver files, and a library that does not load.
case_nsis_faults_winxp() {
  new_prefix winxp
  prepare_nt_machine
  place_setup_package --without-drivers
  setup nodrivers 2 /S
  same "nodrivers: the reason on standard error" "$(setup_stderr nodrivers)" \
    'The driver files are missing from this package: C:\setup\drivers\nt lacks nrvs1.dll nrvs1.sdd nrvs1ui.dll nrvs1su.hlp nrvs1um.dll nrvs1su.dat nrvs1su.dll. Nothing has been changed.'
  expect_setup_changed_nothing nodrivers

  # Wine refuses to load a module that its overrides disable.
  place_setup_package
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;nrvpnp=" setup noload 2 /S
  # The installer's temporary folder has a name of its own on each run.
  same "noload: the reason on standard error" \
    "$(setup_stderr noload | sed 's/^\(Setup could not load \)C:\\.*\\ns[A-Za-z0-9]*\.tmp\\/\1TEMP\\/')" \
    'Setup could not load TEMP\NRVPNP.dll (error 126). Nothing has been changed.'
  expect_setup_changed_nothing noload
}

# The version resource of both DLLs as a setup program's version check
# reads it (GetFileVersionInfoA, VerQueryValueA): the project version in the
# fixed part and the strings, one US-English translation.
case_version_info() {
  new_prefix winxp
  local version numbers
  version=$(sed -n 's/^project(NorvaleSetup VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  numbers=$(IFS=.; set -- $version 0 0 0; echo "$1.$2.$3.$4")
  local entry name description os
  for entry in "NRVPNP|Norvale TX-5400 printer setup for Windows NT|00040004" \
    "NRVKSYS|Norvale TX-5400 printer setup for Windows 95, 98 and Me|00010004"; do
    IFS='|' read -r name description os <<<"$entry"
    harness "version-$name" --version-info "C:\\nrv\\$name.dll"
    same "$name.dll: the version resource as VerQueryValueA gives it" \
      "$(sed 's/\r$//' "$WINEPREFIX/version-$name.out")" "$(cat <<EOF
fixed: signature feef04bd, structure 00010000, file $numbers, product $numbers, flags 0 of 3f, os $os, type 2, subtype 0
translation: 0409 04b0
CompanyName: Norvale
FileDescription: $description
FileVersion: $version
InternalName: $name
OriginalFilename: $name.dll
ProductName: Norvale TX-5400 printer setup
ProductVersion: $version
EOF
)"
  done
}

# ---------------------------------------------------------------------------

main() {
  local cases=("$@")
  case=setup
  [ ${#cases[@]} -eq 0 ] && cases=("${ALL_CASES[@]}")

  local missing=""
  command -v wine >/dev/null || missing="$missing wine"
  local f
  for f in "$dist/NRVPNP.dll" "$dist/NRVKSYS.dll" "$dist/NorvaleTX5400Setup.exe" "$bin/nrvharness.exe" "$bin/dacl.exe"; do
    [ -f "$f" ] || missing="$missing $f"
  done
  if [ -n "$missing" ]; then
    fail "missing:$missing (build the cross preset; scripts/deps.sh wine installs Wine)"
    echo "$passed passed, $failed failed"
    exit 1
  fi
  if [ "${NRV_BATCH:-0}" != 1 ] && [ ! -f "$template/system.reg" ]; then
    (exec 9>"$work.lock"; mkdir -p "$work"; flock 9; [ -f "$template/system.reg" ] || make_template) ||
      { fail "template prefix"; echo "$passed passed, $failed failed"; exit 1; }
  fi

  for case in "${cases[@]}"; do
    if ! declare -F "case_$case" >/dev/null; then fail "no such case"; continue; fi
    echo "== $case"
    local started=$SECONDS before=$failed
    "case_$case"
    wineserver -k >/dev/null 2>&1 || true
    # A prefix takes some 600 MB: kept only when its case failed (the
    # batch removes the prefixes it made).
    if [ "${NRV_BATCH:-0}" != 1 ]; then
      if [ "$failed" -eq "$before" ]; then rm -rf "$WINEPREFIX"; else echo "   prefix kept: $WINEPREFIX"; fi
    fi
    echo "== $case: $((SECONDS - started)) s"
  done
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# bench.sh takes the machine's preparation from here.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then main "$@"; fi
