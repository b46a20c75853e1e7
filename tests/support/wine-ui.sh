# shellcheck shell=bash
# Shell functions shared by the tests that run the updater's window under Xvfb and Wine and drive
# it from outside with tests/support/uidriver. Source it after setting:
#   work     the case's work directory (failures.txt, the driver's output)
#   bindir   the Windows build's bin/ (uidriver.exe, sfxpack.exe, Mirador.exe)
#   WINEPREFIX
# shellcheck disable=SC2154  # work and bindir: set by the script that sources this

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Checks may fail inside pipelines (subshells): each failure is a line in a file.
fail() {
    echo "FAIL: $*"
    echo "$*" >>"$work/failures.txt"
}

# Ends the case: the Wine server (its desktop belongs to this display) and our Xvfb.
xvfb_pid=""
wineui_cleanup() {
    wineserver -k 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    return 0
}

# shellcheck source=xvfb.sh
. "$(dirname "${BASH_SOURCE[0]}")/xvfb.sh"

# A display of our own unless one is given; exports DISPLAY.
start_display() {
    start_xvfb "$work/display.txt" || { echo "FAIL: Xvfb did not start"; exit 1; }
}

# Makes the prefix once (several seconds; later runs reuse it) and starts one server for the
# whole case, detached from our output: Wine's server outlives its programs by a few seconds and
# inherits their stdout and stderr, so a reader of a program's output would wait for it too.
start_wine() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$(dirname "$WINEPREFIX")"
        (
            flock 9
            if [ ! -f "$WINEPREFIX/system.reg" ]; then
                wineboot -i </dev/null >/dev/null 2>&1 9>&-
                wineserver -w 9>&-
            fi
        ) 9>"$WINEPREFIX.lock"
    fi
    setsid wineserver -p30 </dev/null >/dev/null 2>&1 &
}

# Runs the driver; its output goes to the file named first, then shows in the log.
drive() {
    local out=$1
    shift
    wine "$bindir/uidriver.exe" "$@" >"$out" 2>"$out.err"
    local rc=$?
    cat "$out"
    [ -s "$out.err" ] && cat "$out.err"
    return $rc
}

# HKLM\HARDWARE\DEVICEMAP\SERIALCOMM is volatile: Wine fills it when its server starts, from
# the serial devices it finds and the links it keeps in dosdevices. It is replaced here with
# exactly the ports a case wants (value name=data), so that what the window lists does not
# depend on the machine's own serial devices. Values enumerate in the order of their names.
set_ports() {
    local key='HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM'
    local reg="$work/ports.reg" want="" have=""
    {
        printf 'REGEDIT4\r\n\r\n[%s]\r\n' "$key"
        for pair in "$@"; do
            printf '"%s"="%s"\r\n' "${pair%%=*}" "${pair#*=}"
        done
    } >"$reg"
    for pair in "$@"; do want+="${pair#*=} "; done
    for _ in 1 2 3; do
        wine reg delete "$key" /va /f >/dev/null 2>&1
        wine regedit /S "$reg" >/dev/null 2>&1
        have=$(wine reg query "$key" 2>/dev/null | tr -d '\r' | awk 'NF == 3 { printf "%s ", $3 }')
        [ "$have" = "$want" ] && return 0
        sleep 0.5
    done
    fail "serial ports in the registry: '$have', wanted '$want'"
}

# The Windows temporary directory of the prefix, where the updater extracts its payload.
temp_dir() {
    find "$WINEPREFIX/drive_c/users" -maxdepth 2 -type d -name Temp 2>/dev/null | head -n1
}

# Starts a program under Wine and prints its Windows process id.
start() {
    drive "$work/start.txt" start "$@" >/dev/null || return 1
    sed -n 's/^pid=//p' "$work/start.txt"
}

# expect_output WHAT FILE: FILE holds what the driver printed, stdin what it should be.
expect_output() {
    local what=$1 file=$2
    if ! diff -u - "$file" >"$file.diff"; then
        fail "$what differs from what a person should see:"
        cat "$file.diff"
    fi
}

# Ends a case: the number of failed checks decides the exit status.
finish() {
    if [ -s "$work/failures.txt" ]; then
        echo "$(wc -l <"$work/failures.txt") check(s) failed"
        exit 1
    fi
    echo "all checks passed"
    exit 0
}
