# shellcheck shell=bash
# Shell function shared by the harnesses that need an X display for Wine's windows. Source it.
#
#   start_xvfb FILE
#
# Unless DISPLAY is set, starts an Xvfb of our own on a display number it picks itself (so that
# tests running side by side never collide), writes the number to FILE, exports DISPLAY and sets
# xvfb_pid for the caller to end. Returns 1 when the server does not come up.
start_xvfb() {
    [ -n "${DISPLAY:-}" ] && return 0
    local numfile=$1
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numfile" </dev/null >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$numfile" ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.05
    done
    if [ ! -s "$numfile" ]; then
        echo "Xvfb did not start" >&2
        return 1
    fi
    DISPLAY=":$(head -n1 "$numfile")"
    export DISPLAY
}
