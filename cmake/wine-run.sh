#!/bin/sh
# Runs a Windows program of the cross build under Wine (Debian's wine64): the emulator that
# CMake puts before every test program. Quiet (WINEDEBUG=-all) and in its own Wine prefix:
# $WINEPREFIX when the caller has made one (make test-windows makes a fresh one in a temporary
# folder), else a fixed one in the temporary folder, made on first use.
set -e
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX="${MSGSERVER_WINE_PREFIX:-${TMPDIR:-/tmp}/msgserver-wine-$(id -u)}"
fi
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
# No dialogs and no desktop integration: this Wine only runs console programs.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=}"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
exec "$wine" "$@"
