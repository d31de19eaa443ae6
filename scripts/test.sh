#!/usr/bin/env bash
# Builds everything and runs every test: the host suite plain and under
# AddressSanitizer and UndefinedBehaviorSanitizer, the check of the real
# DLLs' tables and release files, two builds of them compared byte for
# byte, and the real DLLs under Wine (natively, or inside a virtual machine
# on a machine that cannot run 32-bit programs).
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
# The Wine jobs run the real DLLs, natively or inside a virtual machine
# (tests/wine/batch.sh) that takes a core of its own: they go on beside the
# host suites, and their output follows them. The fuzz run has sanitizers
# of its own and the rebuild test builds the real DLLs twice; once each is
# enough.
wine_log=build/host/wine-tests.log
ctest --preset host -L wine >"$wine_log" 2>&1 &
wine_pid=$!
ctest --preset host -j2 -LE wine || status=1
ctest --preset host-asan -j2 -LE "wine|fuzz|rebuild" || status=1
wait "$wine_pid" || status=1
cat "$wine_log"
exit $status
