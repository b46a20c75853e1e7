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
    [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null
    rm -f "${fdfile:-}"
    true
}
trap cleanup EXIT

# shellcheck source=xvfb.sh
. "$(dirname "$0")/xvfb.sh"
fdfile=$(mktemp)
start_xvfb "$fdfile" || exit 1
"$@"
