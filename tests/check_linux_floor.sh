#!/usr/bin/env bash
# Checks that a Linux binary of ours runs on glibc 2.27 and later (Ubuntu 18.04 and newer), whose loader
# refuses a binary that asks a library for a version it lacks: so it needs only libraries every such system
# has, nothing of libstdc++ (it is linked in), no glibc version past 2.27, and no libgcc_s one past GCC 8's.
#   check_linux_floor.sh BINARY
set -euo pipefail
binary=$1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

needed=$(objdump -p "$binary" | awk '/NEEDED/ {print $2}' | tr '\n' ' ')
echo "needs: $needed"
for library in $needed; do
  case $library in
    libc.so.6 | libm.so.6 | libdl.so.2 | libpthread.so.0 | libgcc_s.so.1 | ld-linux-x86-64.so.2) ;;
    *) fail "needs $library, which not every Linux has" ;;
  esac
done
symbols=$(objdump -T "$binary")
not_after() { [ "$(printf '%s\n' "$1" "$2" | sort -V | tail -n 1)" = "$2" ]; }
while read -r library version; do
  case $version in
    GLIBC_2.*) not_after "$version" GLIBC_2.27 && continue ;;
    GCC_*) not_after "$version" GCC_7.0.0 && continue ;;
  esac
  fail "needs $version from $library, for: $(awk -v v="($version)" 'NF > 1 && $(NF-1) == v {print $NF}' <<<"$symbols" | tr '\n' ' ')"
done < <(objdump -p "$binary" | awk '/required from/ {library = $3; sub(/:$/, "", library)} /^ +0x/ {print library, $4}')

# A call taken at an older version than this system's libraries make the default must be the same
# function as the default: an older one kept only for old programs (another ABI) would misbehave.
libraries=$(for library in $needed; do ldconfig -p | awk -v l="$library" '$1 == l && /x86-64/ {print $NF; exit}'; done)
legacy=$(awk 'NR == FNR {
                if ($0 !~ /\*UND\*/ && NF >= 6) {
                  version = $(NF-1); default_version = version !~ /^\(/; gsub(/[()]/, "", version)
                  address[$NF "@" version] = $1
                  if (default_version) current[$NF] = version
                }
                next
              }
              /\*UND\*/ && $(NF-1) ~ /^\(/ {
                version = $(NF-1); gsub(/[()]/, "", version)
                if ($NF in current && address[$NF "@" version] != address[$NF "@" current[$NF]]) print $NF "@" version
              }' <(objdump -T $libraries) - <<<"$symbols" | tr '\n' ' ')
[ -z "$legacy" ] || fail "takes legacy versions of: $legacy"
[ $failed -eq 0 ] && echo "runs on glibc 2.27 and later: $binary"
exit $failed
