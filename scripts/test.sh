#!/usr/bin/env bash
# Builds everything and runs every test: the host suite plain and under
# AddressSanitizer and UndefinedBehaviorSanitizer, the check of the real
# DLLs' tables, and the real DLLs under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
cmake --preset cross >/dev/null
cmake --build --preset cross -j2 >/dev/null
for preset in host host-asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2 >/dev/null
done
status=0
# The Wine cases run the real DLLs and the fuzz run has sanitizers of its
# own; once each is enough.
ctest --preset host -j2 || status=1
ctest --preset host-asan -j2 -LE "wine|fuzz" || status=1
exit $status
