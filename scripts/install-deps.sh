#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build, the host and the tests need and is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev libbenchmark-dev  # the Linux build and its tests
  clang libclang-rt-14-dev                             # the fuzz preset: libFuzzer and the sanitizers
  g++-mingw-w64-x86-64-posix                           # the Windows cross-build
  wine wine64                                          # running the Windows build
  locales-all                                          # a decimal-comma locale for the tests
  netcat-openbsd                                       # watching the feed: nc 127.0.0.1 27015
  valgrind                                             # the end-to-end run under memcheck
  iproute2                                             # ip: the real-network scenarios' namespaces and link
  binutils binutils-mingw-w64-x86-64 file unzip        # stripping the modules for the zip, and checking it
  jq gpsbabel gpsd gpsd-clients python3               # feedclient's tests read its output back
  debootstrap                                          # a Debian 11 root for loading the Linux module on an older Linux
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
