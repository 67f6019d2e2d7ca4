#!/usr/bin/env bash
# Builds the plug-in and runs it in the stand-in host, which flies a demo flight in real time. Watch the
# feed with `nc 127.0.0.1 27015`. Ctrl-C stops the plug-in and the host cleanly.
#   scripts/run.sh            the Linux module, natively
#   scripts/run.sh --windows  the Windows module, under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# The host keeps the module's Log.txt in its working directory: the build tree, as X-Plane keeps its own.
watch() {
  echo "The plug-in feeds TCP port 27015 from 4 s after it starts. Watch it from another terminal with"
  echo "  nc 127.0.0.1 27015    or    build/linux/feedclient 127.0.0.1"
  echo "Its Log.txt lines (a client connected or lost, the port taken) show here as well, and stay in $1/Log.txt."
}

if [ "${1:-}" = "--windows" ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows
  watch build/windows
  export WINEDEBUG=-all
  cd build/windows
  exec wine standin-host.exe BelvantoPlugin.xpl
fi
cmake --preset linux >/dev/null
cmake --build --preset linux --target standin_host BelvantoPlugin feedclient
watch build/linux
cd build/linux
exec ./standin-host BelvantoPlugin.xpl
