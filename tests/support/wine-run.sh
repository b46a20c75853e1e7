#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of its own (created on first use), so that test
# runs share nothing with the user's own Wine. Used as CMake's cross-compiling emulator.
#
# The prefix is UPDATER_WINE_PREFIX when set, else build-tree/wineprefix next to the program's bin/.
set -euo pipefail

prog=$1
shift
if [ -z "${UPDATER_WINE_PREFIX:-}" ]; then
    bindir=$(cd "$(dirname "$prog")" && pwd)
    UPDATER_WINE_PREFIX=$(dirname "$bindir")/wineprefix
fi
export WINEPREFIX=$UPDATER_WINE_PREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# First use: create the prefix once, even when several tests start at the same moment.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
            wineserver -w 9>&- || true
        fi
    ) 9>"$WINEPREFIX.lock"
fi

# Keep one server alive for the whole test run, and start Wine's own background processes
# (services, devices) from here, with our output pipes closed: started by the program under
# test they would inherit its stdout and stderr, and a reader such as CTest would wait for them
# until the server ends. Both steps do nothing when the server already runs.
(
    flock 9
    setsid wineserver -p60 </dev/null >/dev/null 2>&1 9>&- &
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$WINEPREFIX.lock"

exec wine "$prog" "$@"
