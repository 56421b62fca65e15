#!/usr/bin/env bash
# make test-windows: every test program of the Windows build under Wine, through CTest (with
# cmake/wine-run.sh as the emulator), then the end-to-end smoke test. Wine runs in a fresh
# prefix in a temporary folder, with one Wine server kept up for the whole run, and both go
# at the end.
# Usage: RunTestsWindows.sh WINDOWS_BUILD_DIR LINUX_MSGCLIENT [JOBS]
set -uo pipefail

build=$(realpath "$1")
client=$(realpath "$2")
jobs=${3:-2}
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../cmake/wine-run.sh"
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/msgserver-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all
cleanup() {
  "$wineserver" -k >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# The prefix is made once, before the first test's clock starts; the server then stays up
# between the programs instead of starting and stopping for each.
"$wineserver" -p >/dev/null 2>&1 </dev/null
timeout 300 "$wine_run" wineboot --init >/dev/null 2>&1 || { echo "Wine would not start"; exit 1; }

echo "== the test programs under Wine (prefix $WINEPREFIX)"
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 120
tests=$?

"$here/SmokeTestWindows.sh" "$build/msgserver.exe" "$client" "$wine_run"
smoke=$?

[ "$tests" -eq 0 ] && [ "$smoke" -eq 0 ]
