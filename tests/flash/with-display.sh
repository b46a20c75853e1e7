#!/usr/bin/env bash
# Runs a command with an X display for Wine's windows and message boxes: the caller's DISPLAY
# when set, otherwise an Xvfb of our own on a free display number, ended afterwards.
set -euo pipefail

if [ -n "${DISPLAY:-}" ]; then
    exec "$@"
fi

fdfile=$(mktemp)
trap 'rm -f "$fdfile"; [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null; true' EXIT
Xvfb -displayfd 3 -screen 0 1024x768x24 3>"$fdfile" </dev/null >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do
    [ -s "$fdfile" ] && break
    kill -0 "$xvfb" 2>/dev/null || { echo "Xvfb did not start" >&2; exit 1; }
    sleep 0.05
done
[ -s "$fdfile" ] || { echo "Xvfb gave no display number" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$fdfile")"
"$@"
