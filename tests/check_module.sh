#!/usr/bin/env bash
# Checks a built module's face to the loader: it exports the five entry points and nothing else, and
# needs nothing beyond the XPLM library and the system.
#   check_module.sh linux MODULE.xpl | check_module.sh windows MODULE.xpl
set -euo pipefail
platform=$1 module=$2
expected=$'XPluginDisable\nXPluginEnable\nXPluginReceiveMessage\nXPluginStart\nXPluginStop'
failed=0
fail() { echo "FAIL: $*"; failed=1; }

if [ "$platform" = linux ]; then
  exports=$(nm -D --defined-only "$module" | awk '{print $3}' | sort)
  [ "$exports" = "$expected" ] || fail "exports are: $(echo $exports)"
  undefined=$(nm -D --undefined-only "$module" | awk '{print $2}' | grep '^XPLM' | sort | tr '\n' ' ')
  [ "$undefined" = "XPLMDebugString XPLMFindDataRef XPLMGetDatad XPLMGetDataf XPLMGetDatai XPLMRegisterFlightLoopCallback XPLMUnregisterFlightLoopCallback " ] \
    || fail "XPLM calls left to the host: $undefined"
  needed=$(objdump -p "$module" | awk '/NEEDED/ {print $2}' | tr '\n' ' ')
  echo "needs: $needed"

  # It loads on glibc 2.27 and later (Ubuntu 18.04 and newer), whose loader refuses a module that asks a
  # library for a version it lacks: so only libraries every such system has, nothing of libstdc++ (it is
  # linked in), no glibc version past 2.27, and no libgcc_s one past GCC 8's.
  for library in $needed; do
    case $library in
      libc.so.6 | libm.so.6 | libdl.so.2 | libpthread.so.0 | libgcc_s.so.1 | ld-linux-x86-64.so.2) ;;
      *) fail "needs $library, which not every Linux has" ;;
    esac
  done
  symbols=$(objdump -T "$module")
  not_after() { [ "$(printf '%s\n' "$1" "$2" | sort -V | tail -n 1)" = "$2" ]; }
  while read -r library version; do
    case $version in
      GLIBC_2.*) not_after "$version" GLIBC_2.27 && continue ;;
      GCC_*) not_after "$version" GCC_7.0.0 && continue ;;
    esac
    fail "needs $version from $library, for: $(awk -v v="($version)" 'NF > 1 && $(NF-1) == v {print $NF}' <<<"$symbols" | tr '\n' ' ')"
  done < <(objdump -p "$module" | awk '/required from/ {library = $3; sub(/:$/, "", library)} /^ +0x/ {print library, $4}')

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
else
  headers=$(x86_64-w64-mingw32-objdump -p "$module")
  grep -q "^Magic.*20b" <<<"$headers" || fail "not a PE32+ image"
  exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {table=1; next} table && /^[ \t]+\[/ {print $NF} table && /^$/ {table=0}' <<<"$headers" | sort)
  [ "$exports" = "$expected" ] || fail "exports are: $(echo $exports)"
  dlls=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort -u)
  echo "imports from: $(echo $dlls)"
  grep -qx "XPLM_64.dll" <<<"$dlls" || fail "does not import XPLM_64.dll"
  while read -r dll; do
    case "${dll,,}" in
      xplm_64.dll | kernel32.dll | msvcrt.dll | ws2_32.dll | user32.dll | advapi32.dll | api-ms-win-*) ;;
      *) fail "imports $dll, which is not a Windows system DLL" ;;
    esac
  done <<<"$dlls"
fi
[ $failed -eq 0 ] && echo "module checks passed: $module"
exit $failed
