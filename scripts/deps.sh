#!/usr/bin/env bash
# Installs the Debian packages a build or test needs, when they are missing.
# Usage: deps.sh build|test
set -euo pipefail

want=(cmake make g++ libgtest-dev googletest g++-mingw-w64-i686)
if [ "${1:-build}" = test ]; then
  want+=(wine wine32:i386 clang libclang-rt-14-dev time)
fi

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
