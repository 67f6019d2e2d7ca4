#!/usr/bin/env bash
# Installs, from Debian's archive, whatever building and running need and is missing; with --tests, also
# what the tests need.
#   scripts/install-deps.sh           for scripts/run.sh: the build, the host and feedclient
#   scripts/install-deps.sh --tests   for scripts/test.sh
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev libbenchmark-dev  # the Linux build, its tests and the benchmark
  g++-mingw-w64-x86-64-posix                           # the Windows cross-build
  wine wine64                                          # running the Windows build
  libjs-leaflet                                        # the map library, built into feedclient
  node-qrcode-generator                                # the map page's QR code, built into feedclient
  zlib1g-dev libz-mingw-w64-dev                        # gzip, built into feedclient, for each build
  binutils binutils-mingw-w64-x86-64                   # stripping the modules for the zip
  netcat-openbsd                                       # watching the feed: nc 127.0.0.1 27015
)
if [ "${1:-}" = "--tests" ]; then
  packages+=(
    clang libclang-rt-14-dev                           # the fuzz preset: libFuzzer and the sanitizers
    locales-all                                        # a decimal-comma locale for the tests
    valgrind                                           # the end-to-end run under memcheck
    iproute2                                           # ip: the real-network scenarios' namespaces and link
    file unzip                                         # checking the zip
    jq gpsbabel gpsd gpsd-clients python3              # feedclient's tests read its output back
    chromium chromium-driver python3-selenium          # the map page in a real browser
    zbar-tools                                         # zbarimg: reading the page's QR code back
    debootstrap                                        # a Debian 11 root for loading the Linux module on an older Linux
  )
fi

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
