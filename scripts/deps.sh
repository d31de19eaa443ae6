#!/usr/bin/env bash
# Installs the Debian packages a build or test needs, when they are missing.
# Usage: deps.sh build|test|wine|vm
#   build   the host build, the MinGW-w64 cross build and the NSIS example
#           installer (makensis)
#   test    what the test command needs besides (the fuzz run's clang)
#   wine    Wine itself, for a machine that runs 32-bit programs
#   vm      what makes and boots the virtual machine in which Wine runs on a
#           machine that cannot (tests/wine/vm-image.sh)
set -euo pipefail

want=(cmake make g++ libgtest-dev googletest g++-mingw-w64-i686 nsis)
case "${1:-build}" in
  build) ;;
  test) want+=(clang libclang-rt-14-dev time) ;;
  wine) want=(wine wine32:i386) ;;
  vm) want=(qemu-system-x86 debootstrap busybox-static xz-utils zstd util-linux) ;;
  *) echo "deps.sh: usage: deps.sh build|test|wine|vm" >&2; exit 2 ;;
esac

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for pkg in "${want[@]}"; do installed "$pkg" || missing+=("$pkg"); done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
for pkg in "${missing[@]}"; do
  if [[ "$pkg" == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
done
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
