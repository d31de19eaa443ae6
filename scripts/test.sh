#!/usr/bin/env bash
# Builds everything and runs every test: the host suite plain and under
# AddressSanitizer and UndefinedBehaviorSanitizer, the check of the real
# DLLs' tables and release files, two builds of them compared byte for
# byte, and the real DLLs under Wine.
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
# The Wine cases run the real DLLs, the fuzz run has sanitizers of its own
# and the rebuild test builds the real DLLs twice; once each is enough.
ctest --preset host -j2 || status=1
ctest --preset host-asan -j2 -LE "wine|fuzz|rebuild" || status=1
exit $status
