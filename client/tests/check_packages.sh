#!/usr/bin/env bash
# Checks feedclient's archives: each holds one folder with the binary, its README (with the licences of the libraries built in)
# and the licence, and nothing else; each binary is its platform's kind, stripped, needs only the system's
# libraries (on Linux glibc 2.27 or later and no libstdc++, on Windows msvcrt.dll, not the Universal CRT),
# and runs: --help prints the usage and exits 0.
#   check_packages.sh LINUX.tar.gz WINDOWS.zip
set -euo pipefail
linux=$1 windows=$2
failed=0
fail() { echo "FAIL: $*"; failed=1; }
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT

# The archive's files, folders left out, against the three expected in FOLDER.
check_files() {
  local listing=$1 folder=$2 binary=$3
  [ "$(grep -v '/$' <<<"$listing" | sort)" = "$(printf '%s\n' "$folder/LICENSE" "$folder/README.txt" "$folder/$binary")" ] \
    || fail "$folder holds: $(echo $listing)"
}

# The usage on standard output, and status 0.
check_help() {
  local binary=$1; shift
  local usage
  usage=$("$@" "$binary" --help) || fail "$binary --help failed"
  [[ $usage == "usage: feedclient "* ]] || fail "$binary --help printed: $usage"
}

folder=$(basename "$linux" .tar.gz)
check_files "$(tar tzf "$linux")" "$folder" feedclient
tar xzf "$linux" -C "$unpacked"
binary=$unpacked/$folder/feedclient
kind=$(file -b "$binary")
[[ $kind == "ELF 64-bit LSB "*"x86-64,"*", stripped" ]] || fail "the Linux feedclient is: $kind"
"$(dirname "$0")/../../tests/check_linux_floor.sh" "$binary" || fail "the Linux feedclient asks too much of the system"
check_help "$binary"

folder=$(basename "$windows" .zip)
check_files "$(unzip -Z1 "$windows")" "$folder" feedclient.exe
unzip -q "$windows" -d "$unpacked"
binary=$unpacked/$folder/feedclient.exe
kind=$(file -b "$binary")
[[ $kind == "PE32+ executable (console) x86-64"* ]] || fail "the Windows feedclient is: $kind"
headers=$(x86_64-w64-mingw32-objdump -p "$binary")
grep -q "symbols stripped" <<<"$headers" || fail "the Windows feedclient keeps its symbol table"
dlls=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort -u)
echo "the Windows feedclient imports from: $(echo $dlls)"
grep -qix "msvcrt.dll" <<<"$dlls" || fail "the Windows feedclient does not link msvcrt.dll"
while read -r dll; do
  case "${dll,,}" in
    kernel32.dll | msvcrt.dll | ws2_32.dll | iphlpapi.dll | shell32.dll | ole32.dll) ;;
    *) fail "the Windows feedclient imports $dll" ;;
  esac
done <<<"$dlls"
check_help "$binary" wine
# Leaflet, zlib, qrcode-generator, world-atlas and topojson-client, built into both, have their licences in
# what comes with them, and Natural Earth, the world's source, is named.
for readme in "$unpacked"/*/README.txt; do
  grep -q "Copyright (c) 2010-2019, Vladimir Agafonkin" "$readme" || fail "$readme lacks Leaflet's licence"
  grep -q "(C) 1995-2022 Jean-loup Gailly and Mark Adler" "$readme" || fail "$readme lacks zlib's licence"
  grep -q "Copyright (c) 2009 Kazuhiko Arase" "$readme" || fail "$readme lacks qrcode-generator's licence"
  grep -q "world-atlas (Copyright 2013-2019" "$readme" || fail "$readme lacks world-atlas's licence"
  grep -q "topojson-client, which reads it (Copyright 2012-2019" "$readme" || fail "$readme lacks topojson-client's"
  grep -q "Natural Earth's 1:110m land" "$readme" || fail "$readme does not name Natural Earth"
  grep -q "Permission to use, copy, modify, and/or distribute this software" "$readme" || fail "$readme lacks ISC"
done

[ $failed -eq 0 ] && echo "feedclient package checks passed: $linux $windows"
exit $failed
