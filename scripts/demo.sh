#!/usr/bin/env bash
# Builds everything (the host build with the simulated Windows, and the real
# DLLs into dist/), then shows what an install followed by an uninstall does
# to the default simulated Windows XP machine. Extra arguments go to nrvdry.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake --preset cross >/dev/null
cmake --build --preset cross -j2 >/dev/null
cmake --preset host >/dev/null
cmake --build --preset host -j2 >/dev/null
echo "Built dist/NRVPNP.dll and dist/NRVKSYS.dll."
echo
# Without arguments: install, then uninstall, with every Windows call shown.
if [ $# -eq 0 ]; then set -- --trace; fi
exec build/host/tools/nrvdry "$@"
