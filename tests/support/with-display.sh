#!/usr/bin/env bash
# Runs a command with an X display for Wine's windows and message boxes: the caller's DISPLAY
# when set, otherwise an Xvfb of our own on a free display number. The Wine prefix
# (UPDATER_WINE_PREFIX) must be one that only this command uses: Wine's desktop process keeps the
# display of the program that started it, so a prefix whose desktop began without a display
# shows no windows. Its Wine server is ended afterwards, before the display goes.
set -uo pipefail

cleanup() {
    if [ -n "${UPDATER_WINE_PREFIX:-}" ] && [ -d "$UPDATER_WINE_PREFIX" ]; then
        WINEPREFIX="$UPDATER_WINE_PREFIX" wineserver -k >/dev/null 2>&1 || true
    fi
    [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null
    rm -f "${fdfile:-}"
    true
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
    fdfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 3>"$fdfile" </dev/null >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do
        [ -s "$fdfile" ] && break
        kill -0 "$xvfb" 2>/dev/null || { echo "Xvfb did not start" >&2; exit 1; }
        sleep 0.05
    done
    [ -s "$fdfile" ] || { echo "Xvfb gave no display number" >&2; exit 1; }
    export DISPLAY=":$(head -n1 "$fdfile")"
fi
"$@"
