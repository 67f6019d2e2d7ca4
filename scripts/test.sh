#!/usr/bin/env bash
# Builds the Linux and the Windows module and runs every test: unit tests, the module checks, and the
# end-to-end scenarios against both modules (the Windows one under Wine), then the unit and Linux
# end-to-end tests again under AddressSanitizer and ThreadSanitizer, and last a minute of fuzzing for each
# of the line parser, the HTTP request parser and the line formatter.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --tests

export WINEDEBUG=-all
# Keep one wineserver, with Wine's own processes, running until the end: a Wine program that starts just
# as the server winds down after the last one ended now and then dies before it runs ("wine client error:
# recvmsg"), as one test's program could between the one before it and the next. One already running is
# used as it is. Then make the Wine prefix once, up front, rather than inside the first test's time-outs.
mkdir -p "${WINEPREFIX:-$HOME/.wine}"
if wineserver -p 2>/dev/null; then
  trap 'wineserver -k' EXIT
fi
wineboot --init >/dev/null 2>&1 || true

for preset in windows linux asan tsan fuzz; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
ctest --preset linux
ctest --preset asan
ctest --preset tsan
ctest --preset fuzz
