#!/usr/bin/env bash
# Builds the plug-in and runs it in the stand-in host, which flies a demo flight in real time. Watch the
# feed with `nc localhost 27015`. Ctrl-C stops the plug-in and the host cleanly.
#   scripts/run.sh            the Linux module, natively
#   scripts/run.sh --windows  the Windows module, under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

if [ "${1:-}" = "--windows" ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows
  export WINEDEBUG=-all
  exec wine build/windows/standin-host.exe build/windows/BelvantoPlugin.xpl
fi
cmake --preset linux >/dev/null
cmake --build --preset linux --target standin_host BelvantoPlugin
exec build/linux/standin-host build/linux/BelvantoPlugin.xpl
