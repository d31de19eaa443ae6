#!/usr/bin/env bash
# Checks the real DLLs as they are shipped (default: dist/) as a loader on a
# clean Windows 95 or NT 4.0 sees them: exactly the exports with their
# ordinals and calling conventions, imports from the four system DLLs only,
# version 4.0 in the PE header, an entry point and no TLS directory, and the
# section layout those loaders take; and what makes them release files:
# within their size, no symbols, no time stamp and no build path, the
# VERSIONINFO resource with the project version, and dist/SHA256SUMS.
#
#   check_dll_tables.sh [DIST [BUILD [VERSION]]]
#
# BUILD is the cross build (default build/cross): its ntsetup/ and
# w9xsetup/ hold the images as linked, symbols included, which name the
# functions behind the exports. VERSION defaults to the project version in
# CMakeLists.txt.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
dist=${1:-"$root/dist"}
build=${2:-"$root/build/cross"}
version=${3:-$(sed -n 's/^project(NorvaleSetup VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")}
objdump=i686-w64-mingw32-objdump
strip=i686-w64-mingw32-strip
windres=i686-w64-mingw32-windres
failures=0
checks=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { checks=$((checks + 1)); }

# A little-endian 32-bit number of a file: u32 FILE OFFSET.
u32() { od -An -tu1 -j "$2" -N4 "$1" | awk '{ print $1 + 256 * ($2 + 256 * ($3 + 256 * $4)) }'; }

# The four numbers of a VERSIONINFO, from a version of one to four numbers.
version_numbers() {
  local parts
  IFS=. read -r -a parts <<<"$1.0.0.0"
  echo "${parts[0]}, ${parts[1]}, ${parts[2]}, ${parts[3]}"
}

# The sections, in the layout both loaders take: only the usual sections,
# each on its own 4 KB page in memory and in 512-byte blocks in the file;
# the resource directory at the start of .rsrc; the import address table in
# a writable section (the loader writes it).
check_sections() {
  local file=$1 dll=$2 headers=$3
  local field want got
  for field in SectionAlignment:00001000 FileAlignment:00000200; do
    want=${field#*:}; field=${field%%:*}
    got=$(awk -v f="$field" '$1 == f { print $2 }' <<<"$headers")
    [ "$got" = "$want" ] && pass || fail "$file: $field is '$got', want $want"
  done
  local base; base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$headers")
  # One section a line: name, address relative to the image base, ro or rw.
  local sections
  sections=$("$objdump" -h "$dll" | awk '
    /^ *[0-9]+ / { name = $2; vma = $4; next }
    name != "" { print name, vma, ($0 ~ /READONLY/ ? "ro" : "rw"); name = "" }' |
    while read -r name vma mode; do echo "$name $((16#$vma - 16#$base)) $mode"; done)
  local odd; odd=$(awk '$1 !~ /^\.(text|data|rdata|bss|edata|idata|rsrc|reloc)$/ || $2 % 4096 != 0' <<<"$sections")
  [ -z "$odd" ] && pass || fail "$file: sections outside the usual layout: $(tr '\n' ';' <<<"$odd")"
  local rsrc; rsrc=$(awk '$1 == ".rsrc" { print $2 }' <<<"$sections")
  local dir; dir=$(awk '$1 == "Entry" && $2 == "2" { print $3 }' <<<"$headers")
  [ -n "$rsrc" ] && [ "$((16#${dir:-0}))" = "$rsrc" ] && pass ||
    fail "$file: resource directory at '$dir', want the start of .rsrc ('$rsrc')"
  local iat; iat=$(awk '$1 == "Entry" && $2 == "c" { print $3 }' <<<"$headers")
  local holder; holder=$(awk -v at=$((16#${iat:-0})) '$2 <= at { s = $0 } END { print s }' <<<"$sections")
  [[ "$holder" == *" rw" ]] && pass || fail "$file: import address table in '$holder', want a writable section"
}

# The version resource as the resource compiler reads it back from the
# image, against the one the build makes from the project version.
check_version_resource() {
  local file=$1 dll=$2 fileos=$3 description=$4 name=${1%.dll}
  local got
  if ! got=$("$windres" -i "$dll" -O rc 2>&1); then
    fail "$file: no resource that the resource compiler reads: $got"
    return
  fi
  got=$(grep -v -e '^ *$' -e '^/\*' -e '^ *Name:' <<<"$got" | sed 's/^ *//')
  local numbers; numbers=$(version_numbers "$version")
  local want
  want=$(cat <<END_OF_RC
LANGUAGE 0, 0
1 VERSIONINFO
FILEVERSION $numbers
PRODUCTVERSION $numbers
FILEFLAGSMASK 0x3f
FILEOS $fileos
FILETYPE 0x2
BEGIN
BLOCK "StringFileInfo"
BEGIN
BLOCK "040904B0"
BEGIN
VALUE "CompanyName", "Norvale"
VALUE "FileDescription", "$description"
VALUE "FileVersion", "$version"
VALUE "InternalName", "$name"
VALUE "OriginalFilename", "$file"
VALUE "ProductName", "Norvale TX-5400 printer setup"
VALUE "ProductVersion", "$version"
END
END
BLOCK "VarFileInfo"
BEGIN
VALUE "Translation", 0x409, 1200
END
END
END_OF_RC
)
  if [ "$got" = "$want" ]; then
    pass
  else
    fail "$file: the version resource differs (< want, > got):"
    diff <(echo "$want") <(echo "$got") | sed 's/^/    /'
  fi
}

# The release file: its size, no symbols, no time stamp, no path of the
# build machine, and the very image the linker made, only without symbols.
check_release_file() {
  local file=$1 dll=$2 linked=$3 limit=$4
  local size; size=$(stat -c %s "$dll")
  echo "$file: $size bytes (at most $limit)"
  [ "$size" -le "$limit" ] && pass || fail "$file: $size bytes, want at most $limit"
  grep -qx 'no symbols' <("$objdump" -t "$dll") && pass || fail "$file: carries a symbol table"
  local pe; pe=$(u32 "$dll" 60)
  local stamp; stamp=$(u32 "$dll" $((pe + 8)))
  [ "$stamp" = 0 ] && pass || fail "$file: time stamp $stamp in the header, want 0"
  local path found=""
  for path in "$root" "$(cd "$root" && pwd -P)" "$build"; do
    grep -qaF "$path" "$dll" && found="$found $path"
  done
  [ -z "$found" ] && pass || fail "$file: holds the build path(s)$found"
  if [ ! -f "$linked" ]; then
    fail "$linked is missing (build the cross preset first)"
    return 1
  fi
  SOURCE_DATE_EPOCH=0 "$strip" --strip-all -o "$scratch/$file" "$linked"
  cmp -s "$scratch/$file" "$dll" && pass || fail "$file: not $linked stripped (build the cross preset again)"
}

# check_dll FILE LINKED LIMIT FILEOS DESCRIPTION "ORDINAL NAME RETBYTES INTERNAL" ...
# LINKED is the image as linked, with its symbols; LIMIT the most bytes the
# release file may have; FILEOS and DESCRIPTION those of its version
# resource. RETBYTES is what the export pops from the stack on return: 12
# for a standard-call function of three arguments, 0 for a caller-cleans
# one.
check_dll() {
  local file=$1; local dll="$dist/$1"; local linked=$2 limit=$3 fileos=$4 description=$5; shift 5
  if [ ! -f "$dll" ]; then fail "$dll is missing (build the cross preset first)"; return; fi
  local headers; headers=$("$objdump" -p "$dll")
  check_sections "$file" "$dll" "$headers"
  check_version_resource "$file" "$dll" "$fileos" "$description"
  check_release_file "$file" "$dll" "$linked" "$limit" || return

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
    # The function at the ordinal is the one of that name inside the DLL
    # (the linked image, the same bytes with symbols, names it). The first
    # return of the function's body tells its convention.
    local start; start=$(printf '0x%x' $((16#$base + 16#$rva)))
    local body; body=$("$objdump" -d --start-address="$start" --stop-address=$(printf '0x%x' $((start + 0x800))) "$linked")
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
# The size goals hold with the version resource included.
check_dll NRVPNP.dll "$build/ntsetup/NRVPNP.dll" 12288 0x40004 \
  "Norvale TX-5400 printer setup for Windows NT" "${NT_EXPORTS[@]}"
check_dll NRVKSYS.dll "$build/w9xsetup/NRVKSYS.dll" 8192 0x10004 \
  "Norvale TX-5400 printer setup for Windows 95, 98 and Me" "${W9X_EXPORTS[@]}"

# SHA256SUMS lists exactly the shipped files, and they match it.
listed=$(awk '{ print $2 }' "$dist/SHA256SUMS" 2>/dev/null | tr '\n' ' ')
[ "$listed" = "NRVKSYS.dll NRVPNP.dll " ] && pass || fail "SHA256SUMS lists '$listed', want NRVKSYS.dll NRVPNP.dll"
if out=$(cd "$dist" && sha256sum --strict -c SHA256SUMS 2>&1); then pass; else fail "sha256sum -c SHA256SUMS: $out"; fi

echo "$checks passed, $failures failed"
[ "$failures" -eq 0 ]
