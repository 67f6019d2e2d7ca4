#!/usr/bin/env bash
# Checks the zip for X-Plane: the plug-in folder holds exactly the two modules, their debug files, the
# README and the licence, and feedclient for each platform with the live map's starters, which serve it;
# each module is the right kind of binary, stripped, linked to debug symbols that match it,
# still exports the entry points, asks the system for no more than check_module.sh allows (for Linux: no
# libstdc++, nothing past glibc 2.27), and still loads and starts in the stand-in host.
#   check_package.sh PACKAGE.zip LINUX_HOST WINDOWS_HOST.exe
set -euo pipefail
package=$1 linux_host=$2 windows_host=$3
here=$(cd "$(dirname "$0")" && pwd)
failed=0
fail() { echo "FAIL: $*"; failed=1; }

expected=$'BelvantoPlugin/LICENSE
BelvantoPlugin/Live map.cmd
BelvantoPlugin/README.md
BelvantoPlugin/lin_x64/BelvantoPlugin.xpl
BelvantoPlugin/lin_x64/BelvantoPlugin.xpl.debug
BelvantoPlugin/lin_x64/feedclient
BelvantoPlugin/live-map.sh
BelvantoPlugin/win_x64/BelvantoPlugin.xpl
BelvantoPlugin/win_x64/BelvantoPlugin.xpl.debug
BelvantoPlugin/win_x64/feedclient.exe'
files=$(unzip -Z1 "$package" | grep -v '/$' | sort)
[ "$files" = "$expected" ] || fail "the zip holds: $(echo $files)"
# Folders may be listed too, but only those the files sit in.
for folder in $(unzip -Z1 "$package" | grep '/$'); do
  grep -q "^$folder" <<<"$expected" || fail "the zip holds the folder $folder"
done

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked" "${desktop:-}"' EXIT
unzip -q "$package" -d "$unpacked"

# The module has no debug sections left. Its debug link names the debug file beside it and carries that
# file's CRC-32, the one gzip ends its output with; the debug file holds the debug info.
check_debug_file() {
  local objcopy=$1 objdump=$2 module=$3
  local debug=$module.debug link=$unpacked/debuglink sections name
  # Whole outputs in hand: grep -q stopping early would fail the pipe under pipefail.
  sections=$("$objdump" -h "$module")
  if grep -q ' \.debug_' <<<"$sections"; then fail "$module still has debug sections"; fi
  sections=$("$objdump" -h "$debug")
  grep -A1 ' \.debug_info ' <<<"$sections" | grep -q CONTENTS || fail "$debug holds no debug info"

  rm -f "$link"
  "$objcopy" --dump-section .gnu_debuglink="$link" "$module" 2>/dev/null
  [ -s "$link" ] || { fail "$module has no debug link"; return; }
  name=$(head -c "$(($(stat -c %s "$link") - 4))" "$link" | tr -d '\0')
  [ "$name" = "$(basename "$debug")" ] || fail "$module links to '$name'"
  [ "$(tail -c 4 "$link" | od -An -tx4)" = "$(gzip -c "$debug" | tail -c 8 | head -c 4 | od -An -tx4)" ] \
    || fail "$module links to debug symbols other than $debug"
}

# The module starts and enables in the host, as X-Plane would load it.
check_loads() {
  local module=$1; shift
  local output
  # Under Wine, standard output is in text mode, as Windows leaves it: lines end in CR LF.
  output=$(printf 'load\nquit\n' | "$@" --control "$module" 2>&1 | tr -d '\r') || true
  grep -q '^host: start returned 1 ' <<<"$output" && grep -q '^host: enable returned 1$' <<<"$output" \
    || fail "$module did not start in the host: $output"
}

linux=$unpacked/BelvantoPlugin/lin_x64/BelvantoPlugin.xpl
if [ -f "$linux" ]; then
  kind=$(file -b "$linux")
  [[ $kind == "ELF 64-bit LSB shared object, x86-64,"* ]] || fail "lin_x64 module is: $kind"
  [[ $kind == *", stripped" ]] || fail "lin_x64 module keeps its symbol table: $kind"
  check_debug_file objcopy objdump "$linux"
  "$here/check_module.sh" linux "$linux" || failed=1
  check_loads "$linux" "$linux_host"
fi

windows=$unpacked/BelvantoPlugin/win_x64/BelvantoPlugin.xpl
if [ -f "$windows" ]; then
  kind=$(file -b "$windows")
  [[ $kind == "PE32+ executable (DLL)"*"x86-64"* ]] || fail "win_x64 module is: $kind"
  headers=$(x86_64-w64-mingw32-objdump -p "$windows")
  grep -q "symbols stripped" <<<"$headers" || fail "win_x64 module keeps its symbol table"
  check_debug_file x86_64-w64-mingw32-objcopy x86_64-w64-mingw32-objdump "$windows"
  "$here/check_module.sh" windows "$windows" || failed=1
  check_loads "$windows" wine "$windows_host"
fi

# Each starter runs its platform's feedclient, stripped, serving the map on port 8080, says where to open
# it, and opens it in the browser (xdg-open, which Wine calls too: here a stand-in that notes the address):
# for one position from a feed that nc plays, which --count 1 then ends.
desktop=$(mktemp -d)
printf '#!/bin/sh\nprintf %%s "$1" > "%s/opened"\n' "$desktop" > "$desktop/xdg-open"
chmod +x "$desktop/xdg-open"
check_starter() {
  local output feed
  local line='{version:"1",latitude:"47.458056",longitude:"8.548056",speed:"0.000000",elevation:"1417.322880",'
  rm -f "$desktop/opened"
  printf '%sheading:"271.250000"}\n' "$line" | timeout 30 nc -N -l 127.0.0.1 27015 &
  feed=$!
  output=$(PATH=$desktop:$PATH timeout 30 "$@" --count 1 2>&1 </dev/null | tr -d '\r') || fail "$* failed: $output"
  wait "$feed" || fail "no feedclient took the feed's line from $*"
  grep -q "^feedclient: http: open the map at http://127.0.0.1:8080/ on this computer$" <<<"$output" \
    || fail "$* did not say where to open the map: $output"
  for _ in $(seq 50); do [ -s "$desktop/opened" ] && break; sleep 0.2; done
  [ "$(cat "$desktop/opened" 2>/dev/null)" = "http://127.0.0.1:8080/" ] || fail "$* did not open the map in a browser"
}
folder=$unpacked/BelvantoPlugin
[[ $(file -b "$folder/lin_x64/feedclient") == *"ELF 64-bit"*", stripped" ]] || fail "lin_x64/feedclient is not stripped"
headers=$(x86_64-w64-mingw32-objdump -p "$folder/win_x64/feedclient.exe")
grep -q "symbols stripped" <<<"$headers" || fail "win_x64/feedclient.exe keeps its symbol table"
[ -x "$folder/live-map.sh" ] && [ -x "$folder/lin_x64/feedclient" ] \
  || fail "the Linux starter or feedclient is not executable"
check_starter "$folder/live-map.sh"
check_starter wine cmd /c "$(winepath -w "$folder/Live map.cmd")"

[ $failed -eq 0 ] && echo "package checks passed: $package"
exit $failed
