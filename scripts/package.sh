#!/usr/bin/env bash
# Builds the Windows and the Linux module and zips the plug-in folder for X-Plane, both modules stripped:
# build/linux/package/BelvantoPlugin-<version>.zip.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

for preset in windows linux; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
cmake --build --preset linux --target package
