#!/usr/bin/env bash
# The .reg file that nrvdry writes for an install imports into Wine with the
# registry editor of the system it was written for: `nrvdry --os OS install
# --out DIR`, then `wine regedit /S DIR/1-install/registry.reg` in a 32-bit
# prefix that reports OS.
# - winxp: a Version 5.00 file (UTF-16LE with its byte-order mark); `wine
#   reg query` then finds the device node, its "Device Parameters" and the
#   user's default printer with the types and data an install on Windows XP
#   leaves (the values that the real DLL writes in run_cases.sh).
# - win98, nt40: a REGEDIT4 file, single-byte text, as those systems'
#   editors read it; the hive then holds the device nodes (win98), the
#   driver with its list of files kept as single-byte strings, the queue
#   and the user's default printer.
#
#   regimport.sh [NRVDRY [OS]]   (default: build/host/tools/nrvdry, winxp)
#
# With NRV_WINE_PREFIX set, the import goes into that prefix, a copy of
# the template made beforehand (batch.sh does so); otherwise into a new
# prefix made here and removed afterwards.
#
# One line per check, then "N passed, N failed"; the exit status is 1 when
# a check failed.
set -u
set -o pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
nrvdry=${1:-$root/build/host/tools/nrvdry}
os=${2:-winxp}

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
# same DESCRIPTION GOT WANT
same() { if [ "$2" == "$3" ]; then pass "$1"; else fail "$1: got '$2', want '$3'"; fi; }
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

export LC_ALL=C
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

if ! command -v wine >/dev/null; then fail "wine is not installed"; finish; fi
if [ ! -x "$nrvdry" ]; then fail "no nrvdry at $nrvdry (build the host tree first)"; finish; fi

out=$(mktemp -d) || { fail "mktemp"; finish; }
if [ -n "${NRV_WINE_PREFIX:-}" ]; then
  WINEPREFIX=$NRV_WINE_PREFIX
  cleanup() { wineserver -k >/dev/null 2>&1; rm -rf "$out"; }
else
  WINEPREFIX=$(mktemp -d) || { fail "mktemp"; finish; }
  cleanup() { wineserver -k >/dev/null 2>&1; rm -rf "$WINEPREFIX" "$out"; }
fi
export WINEPREFIX
trap cleanup EXIT

# ---------------------------------------------------------------------------
# The prefix and the file.

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
if [ -f "$WINEPREFIX/system.reg" ]; then pass "prefix ready ($(wine --version))"; else fail "wineboot made no prefix"; finish; fi

if [ "$os" != winxp ]; then
  wine reg add 'HKCU\Software\Wine' /v Version /d "$os" /f >/dev/null 2>&1
  same "the prefix reports $os" "$?" 0
fi
"$nrvdry" --os "$os" install --out "$out/dry" >"$out/nrvdry.out" 2>&1
same "nrvdry --os $os install --out DIR exits" "$?" 0
reg=$out/dry/1-install/registry.reg
if [ ! -f "$reg" ]; then fail "no $reg"; cat "$out/nrvdry.out"; finish; fi
if [ "$os" = winxp ]; then
  # The registry editor's own Version 5 format: without the mark, Wine's
  # editor reads the file as ANSI and widens the hex(7) data a second time.
  same "registry.reg starts with the UTF-16LE byte-order mark" "$(head -c 2 "$reg" | od -An -tx1 | tr -d ' ')" fffe
  same "registry.reg header" "$(iconv -f UTF-16 -t ASCII "$reg" | head -n 1 | tr -d '\r')" \
    "Windows Registry Editor Version 5.00"
else
  same "registry.reg starts with REGEDIT4 and CR LF, no byte-order mark" \
    "$(head -c 10 "$reg" | od -An -tx1 | tr -d ' ')" 5245474544495434 0d0a
  same "registry.reg is single-byte text" "$(tr -d '\001-\177' <"$reg" | wc -c)" 0
fi

mkdir -p "$WINEPREFIX/drive_c/nrv"
cp "$reg" "$WINEPREFIX/drive_c/nrv/install.reg"
wine regedit /S 'C:\nrv\install.reg' >"$out/regedit.out" 2>&1
same "wine regedit /S install.reg exits" "$?" 0

# ---------------------------------------------------------------------------
# What the registry holds now.

# The data of one value as the hive file keeps it, with its type and exact
# bytes ("" when the key or the value is missing); the key is given with
# single backslashes, relative to the hive's root.
hive_value() {
  KEY=$2 NAME=$3 awk '
    BEGIN { want = tolower(ENVIRON["KEY"]) }
    /^\[/ { key = $0; sub(/^\[/, "", key); sub(/\] [0-9]+$/, "", key); gsub(/\\\\/, "\\", key)
            inkey = (tolower(key) == want); next }
    inkey && index($0, "\"" ENVIRON["NAME"] "\"=") == 1 { sub(/^[^=]*=/, ""); print; exit }
  ' "$WINEPREFIX/$1"
}

if [ "$os" != winxp ]; then
  wineserver -w
  hive() { same "hive: $2 : $3" "$(hive_value "$1" "$2" "$3")" "$4"; }
  PRINTER='System\CurrentControlSet\Control\Print\Printers\Norvale TX-5400 Series'
  USER_WINDOWS='Software\Microsoft\Windows NT\CurrentVersion\Windows'
  if [ "$os" = win98 ]; then
    node='Enum\LPTENUM\NorvaleTX-5400C83B\BIOS&*PNP0400&00'
    hive system.reg "$node" Class '"PRINTER"'
    hive system.reg "$node" Capabilities 'hex:14,00,00,00'
    hive system.reg "$node" HardwareID '"LPTENUM\\NorvaleTX-5400C83B"'
    hive system.reg "$node" DeviceDesc '"Norvale TX-5400 Series"'
    driver='System\CurrentControlSet\control\Print\Environments\Windows 4.0\Drivers\Norvale TX-5400 Series'
    hive system.reg "$driver" Driver '"NRVS1.DRV"'
    hive system.reg "$driver" Version 'dword:00000400'
    # A REGEDIT4 file's hex(7) bytes are the list itself, one byte a
    # character: read as UTF-16 they would be widened a second time.
    hive system.reg "$driver" "Dependent Files" \
      'str(7):"nrvs1.drv\0nrvs195.dll\0nrvs1su.hlp\0nrvs1um.dll\0nrvs1su.dll\0nrvs1su.dat\0"'
    hive system.reg "$PRINTER" Port '"LPT1"'
    hive system.reg "$PRINTER" Attributes 'dword:00000844'
  else
    driver='System\CurrentControlSet\Control\Print\Environments\Windows NT x86\Drivers\Version-3\Norvale TX-5400 Series'
    hive system.reg "$driver" Driver '"nrvs1.dll"'
    hive system.reg "$driver" Version 'dword:00000003'
    hive system.reg "$PRINTER" Port '"LPT1:"'
    hive system.reg "$PRINTER" "Share Name" '"Norvale TX-5400"'
    hive user.reg "$USER_WINDOWS" Device '"Norvale TX-5400 Series,winspool,LPT1:"'
  fi
  finish
fi

ENUM='HKLM\SYSTEM\CurrentControlSet\Enum\LPTENUM\NorvaleTX-5400'
INSTANCE='2&3a5e4b7c&0&LPT1.4'
NODE="$ENUM\\$INSTANCE"
SETTINGS='HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows'

# Each key is read once with `wine reg query KEY` (a Wine program start is
# slow, and slower still in the virtual machine) and its lines kept here;
# load_key runs in this shell so that the checks' subshells find them.
declare -A queried
load_key() {
  [ -n "${queried[$1]+set}" ] || queried[$1]=$(wine reg query "$1" 2>/dev/null | tr -d '\r')
}
# The "TYPE DATA" of one value as `wine reg query` prints it ("" when the
# key or the value is missing). A REG_MULTI_SZ prints its strings joined
# by \0.
query_value() {
  NAME=$2 awk -F '    ' '$1 == "" && $2 == ENVIRON["NAME"] { print $3 " " $4; exit }' <<<"${queried[$1]}"
}
# The names of a key's values, sorted.
query_names() {
  awk -F '    ' '/^    / { print $2 }' <<<"${queried[$1]}" | sort | tr '\n' '|'
}
for key in "$NODE" "$NODE\\Device Parameters" "$SETTINGS"; do load_key "$key"; done
value() { same "$1 : $2" "$(query_value "$1" "$2")" "$3"; }

value "$NODE" Capabilities 'REG_DWORD 0x40'
value "$NODE" Class 'REG_SZ PRINTER'
value "$NODE" ClassGUID 'REG_SZ {4D36E979-E325-11CE-BFC1-08002BE10318}'
value "$NODE" CompatibleIDs 'REG_MULTI_SZ NORVALETX-9E2D47B1'
value "$NODE" ConfigFlags 'REG_DWORD 0x0'
value "$NODE" DeviceDesc 'REG_SZ Norvale TX-5400 Series'
value "$NODE" Driver 'REG_SZ nrvs1.dll'
value "$NODE" HardwareID 'REG_MULTI_SZ LPTENUM\NorvaleTX-5400C83B'
value "$NODE" LocationInformation 'REG_SZ LPT1.4'
value "$NODE" Mfg 'REG_SZ Norvale'
same "$NODE holds the ten values" "$(query_names "$NODE")" \
  "Capabilities|Class|ClassGUID|CompatibleIDs|ConfigFlags|DeviceDesc|Driver|HardwareID|LocationInformation|Mfg|"
value "$NODE\\Device Parameters" PortName 'REG_SZ LPT1:'
same "$NODE\\Device Parameters holds PortName only" "$(query_names "$NODE\\Device Parameters")" "PortName|"
value "$SETTINGS" Device 'REG_SZ Norvale TX-5400 Series,winspool,LPT1:'

# The lists' exact data, as the hive keeps it (wine reg query shows a list
# with one NUL too few or too many alike): one string and the list's end.
wineserver -w
hive_node="System\\CurrentControlSet\\Enum\\LPTENUM\\NorvaleTX-5400\\$INSTANCE"
same "hive: CompatibleIDs" "$(hive_value system.reg "$hive_node" CompatibleIDs)" 'str(7):"NORVALETX-9E2D47B1\0"'
same "hive: HardwareID" "$(hive_value system.reg "$hive_node" HardwareID)" 'str(7):"LPTENUM\\NorvaleTX-5400C83B\0"'

finish
