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

# Every Wine program of one prefix makes its system calls through the one Wine server: the
# tests that run hundreds of threads and connections slow each other down past their time-outs
# when they run together, so they run one at a time after the others.
heavy='^(AdmissionTest|SoakTest)\.|^RobustnessTest\.AThousand'

# Runs ctest with the given selection. Rarely (once in some thousands of starts, with other
# tests running) Wine ends a program at once without running it: in less time than any program
# takes to start here, with no output, not even GoogleTest's first line. Such a test has not
# run, so it runs once more when it is all that failed; a test that printed anything and failed
# is a failure, and so is a program that cannot start twice in a row.
run_tests() {
  ctest --test-dir "$build" --output-on-failure --timeout 120 "$@" && return 0
  local log="$build/Testing/Temporary/LastTest.log"
  local failed silent
  failed=$(wc -l < "$build/Testing/Temporary/LastTestsFailed.log")
  silent=$(awk '
    /^[0-9]+\/[0-9]+ Test: / { name = $3; state = 0; next }
    $0 == "Output:" { state = 1; next }
    state == 1 && /^-+$/ { state = 2; next }
    state == 2 { silent = ($0 == "<end of output>"); state = 3; next }
    /^Test time = / { quick = ($4 + 0 < 0.04); next }
    $0 == "Test Failed." && silent && quick { print name }' "$log")
  if [ -n "$silent" ] && [ "$(printf '%s\n' "$silent" | wc -l)" -eq "$failed" ]; then
    echo "== Wine ended these programs before they printed anything; running them again:"
    printf '   %s\n' $silent
    ctest --test-dir "$build" --output-on-failure --rerun-failed --timeout 120
    return $?
  fi
  return 1
}

# Listing the tests runs every program once (GoogleTest's discovery, kept until the program
# changes). The silent end above, met there, would fail the whole run before any test: the
# listing is made first, and tried again when a program could not be listed.
listed=0
for attempt in 1 2 3; do
  if listing=$(ctest --test-dir "$build" -N 2>&1) && ! grep -q "CMake Error" <<<"$listing"; then
    listed=1
    break
  fi
  echo "== a program could not be listed (attempt $attempt); listing again"
done
[ "$listed" -eq 1 ] || { printf '%s\n' "$listing"; exit 1; }

echo "== the test programs under Wine (prefix $WINEPREFIX)"
run_tests -j "$jobs" -E "$heavy"
tests=$?
echo "== the heavy tests, one at a time"
run_tests -j 1 -R "$heavy" || tests=1

"$here/SmokeTestWindows.sh" "$build/msgserver.exe" "$client" "$wine_run"
smoke=$?

[ "$tests" -eq 0 ] && [ "$smoke" -eq 0 ]
