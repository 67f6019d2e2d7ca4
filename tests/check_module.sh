#!/usr/bin/env bash
# Checks a built module's face to the loader: it exports the five entry points and nothing else, and
# needs nothing beyond the XPLM library and the system (on Linux, glibc 2.27 or later).
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
  # It loads on glibc 2.27 and later.
  "$(dirname "$0")/check_linux_floor.sh" "$module" || failed=1
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
