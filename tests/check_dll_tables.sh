#!/usr/bin/env bash
# Checks the real DLLs in the given folder (default: dist/) as a loader on a
# clean Windows 95 or NT 4.0 sees them: exactly the exports with their
# ordinals and calling conventions, imports from the four system DLLs only,
# version 4.0 in the PE header, an entry point and no TLS directory.
set -u
dist=${1:-"$(dirname "$0")/../dist"}
objdump=i686-w64-mingw32-objdump
failures=0
checks=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { checks=$((checks + 1)); }

# check_dll FILE "ORDINAL NAME RETBYTES INTERNAL" ...
# RETBYTES is what the export pops from the stack on return: 12 for a
# standard-call function of three arguments, 0 for a caller-cleans one.
check_dll() {
  local file=$1; local dll="$dist/$1"; shift
  if [ ! -f "$dll" ]; then fail "$dll is missing (build the cross preset first)"; return; fi
  local headers; headers=$("$objdump" -p "$dll")

  local field want
  for field in MajorOSystemVersion:4 MinorOSystemVersion:0 MajorSubsystemVersion:4 MinorSubsystemVersion:0; do
    want=${field#*:}; field=${field%%:*}
    local got; got=$(awk -v f="$field" '$1 == f { print $2 }' <<<"$headers")
    [ "$got" = "$want" ] && pass || fail "$file: $field is '$got', want $want"
  done

  local entry; entry=$(awk '$1 == "AddressOfEntryPoint" { print $2 }' <<<"$headers")
  [ -n "$entry" ] && [ "$((16#$entry))" -ne 0 ] && pass || fail "$file: no entry point"

  local tls; tls=$(awk '/Thread Storage Directory/ { print $3 $4 }' <<<"$headers")
  [ "$tls" = "0000000000000000" ] && pass || fail "$file: has a TLS directory ($tls)"

  local imports; imports=$(awk '/DLL Name:/ { print toupper($3) }' <<<"$headers" | sort | tr '\n' ' ')
  [ "$imports" = "ADVAPI32.DLL KERNEL32.DLL USER32.DLL WINSPOOL.DRV " ] && pass ||
    fail "$file: imports '$imports', want ADVAPI32 KERNEL32 USER32 WINSPOOL.DRV only"

  # The export table: ordinal -> RVA, and the names in name order.
  local base; base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$headers")
  local table; table=$(sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' <<<"$headers" |
    sed -n 's/.*+base\[ *\([0-9]*\)\] *\([0-9a-f]*\) Export RVA.*/\1 \2/p')
  local names_raw; names_raw=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | grep -E '^\s*\[')
  local names; names=$(sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' <<<"$names_raw")
  local count=0
  for export_line in "$@"; do
    count=$((count + 1))
    local ordinal name pops internal; read -r ordinal name pops internal <<<"$export_line"
    local rva; rva=$(awk -v o="$ordinal" '$1 == o { print $2 }' <<<"$table")
    if [ -z "$rva" ]; then fail "$file: no export at ordinal $ordinal"; continue; fi
    # The name table lists, for each name, its ordinal's index in the
    # export address table (ordinal minus the base, which is 1).
    local index; index=$(awk -v n="$name" '{ line=$0; sub(/^[ \t]*\[ */, "", line); i=line; sub(/\].*$/, "", i);
      sub(/^[0-9]+\] /, "", line); if (line == n) print i }' <<<"$names_raw")
    [ "$index" = "$((ordinal - 1))" ] && pass || fail "$file: '$name' leads to index '$index', want ordinal $ordinal"
    # The function at the ordinal is the one of that name inside the DLL.
    # The first return of the function's body tells its convention.
    local start; start=$(printf '0x%x' $((16#$base + 16#$rva)))
    local body; body=$("$objdump" -d --start-address="$start" --stop-address=$(printf '0x%x' $((start + 0x800))) "$dll")
    local symbol; symbol=$(grep -m1 -oE '^[0-9a-f]+ <[^>]+>:' <<<"$body" | sed 's/.*<\(.*\)>:/\1/')
    [ "$symbol" = "$internal" ] && pass || fail "$file: ordinal $ordinal leads to '$symbol', want '$internal'"
    local ret; ret=$(grep -m1 -E '\sret[l]?(\s|$)' <<<"$body" || true)
    local popped=0
    if [[ "$ret" =~ ret[l]?[[:space:]]+\$0x([0-9a-f]+) ]]; then popped=$((16#${BASH_REMATCH[1]})); fi
    [ -n "$ret" ] && [ "$popped" -eq "$pops" ] && pass ||
      fail "$file: $name returns with '$ret', want it to pop $pops bytes"
  done
  local exported; exported=$(wc -l <<<"$table")
  [ "$exported" -eq "$count" ] && pass || fail "$file: exports $exported functions, want $count"
  local namecount; namecount=$(grep -c . <<<"$names")
  [ "$namecount" -eq "$count" ] && pass || fail "$file: exports $namecount names, want $count"
}

NT_EXPORTS=("1 CreatePrinter 12 _CreatePrinter@12" "2 UninstallPrinter 12 _UninstallPrinter@12")
W9X_EXPORTS=("1 ?CleanPnpKeys@@YAXXZ 0 _CleanPnpKeys" "2 CreatePrinter 12 _CreatePrinter@12" "3 UninstallPrinter 12 _UninstallPrinter@12")
check_dll NRVPNP.dll "${NT_EXPORTS[@]}"
check_dll NRVKSYS.dll "${W9X_EXPORTS[@]}"

echo "$checks passed, $failures failed"
[ "$failures" -eq 0 ]
