#!/usr/bin/env bash
# The updater at work. Builds the Windows programs, packs a demo release, starts the emulated
# receiver on COM3 of a Wine prefix of its own, and opens the updater.
#
# The receiver comes as a real one does: in its normal mode, NMEA at 4800 bit/s, with a factory
# firmware; gpsd's gpsctl names its version before and after the update.
#
# With a display (DISPLAY set) the window is yours: pick COM3, press "Actualizar", watch the
# receiver being flashed, then leave with "Salir(Exit)". Without a display the script runs the
# update itself on a virtual display, prints the outcome and saves screenshots.
#
#   scripts/run-demo.sh [--headless] [--erase] [--chip NAME] [--code-bytes N] [--no-pace]
#
#   --headless       drive the window even when a display is there
#   --erase          choose "Borrar Posiciones de Usuario" (headless run)
#   --chip NAME      the receiver's chip family: GSP3 (default), GSP2e/LPx, GSP2t
#   --code-bytes N   size of the demo firmware's code (default 131072)
#   --no-pace        let the emulated line run as fast as it can instead of at its speed (4800 bit/s
#                    in the receiver's normal mode, 115200 in its loader)
#
# Everything goes to build/demo/: the release, the receiver's flash, screenshots, logs.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
headless=0
erase=0
chip=GSP3
code_bytes=131072
pace=(--pace)
while [ $# -gt 0 ]; do
    case $1 in
    --headless) headless=1 ;;
    --erase) erase=1 ;;
    --chip) chip=$2; shift ;;
    --code-bytes) code_bytes=$2; shift ;;
    --no-pace) pace=() ;;
    -h | --help) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
[ -z "${DISPLAY:-}" ] && headless=1

cd "$root"
./scripts/install-deps.sh

echo "Building the 32-bit Windows programs, as a release carries them (build/win32)..."
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$(nproc)" --target Mirador SiRFflashcl uidriver sfxpack gpsdevsim_host demo_logo \
    >build-demo.log 2>&1 || { tail -30 build-demo.log; exit 1; }
rm -f build-demo.log

bindir=$root/build/win32/bin
work=$root/build/demo
mkdir -p "$work"
rm -f "$work"/*.png "$work/failures.txt"
export WINEPREFIX=$work/wineprefix
# A prefix made before wine32 was installed has no 32-bit system folder: make it again.
if [ -d "$WINEPREFIX" ] && [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
    rm -rf "$WINEPREFIX"
fi
# shellcheck source=../tests/support/wine-ui.sh
. "$root/tests/support/wine-ui.sh"

# The driver prints bytes outside ASCII as \xNN; show them as the window does (code page 1252).
readable() {
    while IFS= read -r line; do
        printf '%b\n' "$line" | iconv -f CP1252 -t UTF-8 2>/dev/null || printf '%s\n' "$line"
    done
}

sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -f "$WINEPREFIX/dosdevices/com3"
    wineui_cleanup
}
trap cleanup EXIT

if [ "$headless" = 1 ] && [ -z "${DISPLAY:-}" ]; then
    start_display
    echo "No display: running the update on the virtual display $DISPLAY."
fi
echo "Preparing Wine (a prefix of its own, build/demo/wineprefix)..."
start_wine
# Wine draws the windows' frames itself in a virtual desktop: title bars, and message boxes over
# the dialog rather than beside it (there is no window manager on a virtual display). Set before
# any window opens, as the desktop is made with the first one.
desktop=${DEMO_DESKTOP:-470x540}
# The frame's buttons are drawn in Wine's Marlett font, which this Wine does not find in its own
# data folder: without it the close box shows the letter "r".
if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
    cp -u /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
fi
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Demo /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Demo /d "$desktop" /f >/dev/null 2>&1
# The virtual desktop's window sits at the top-left corner of the display.
screenshot() {
    import -window root -crop "$desktop+0+0" +repage "$1"
}

echo "Packing the demo release (build/demo/Mirador-demo.exe)..."
"$root/demo/make-release.sh" --code-bytes "$code_bytes" "$bindir" "$root/build/win32/demo/logo.bmp" \
    "$work/Mirador-demo.exe" >"$work/release.log" 2>&1 || { cat "$work/release.log"; exit 1; }
wine "$bindir/sfxpack.exe" list "$work/Mirador-demo.exe" | tr -d '\r' |
    awk -F'\t' '{ printf "    %-26s %9d bytes\n", $5, $3 }'

# What gpsd, a program written elsewhere, makes of the receiver: its gpsctl, run directly on the
# line (no daemon), at the 4800 bit/s of a receiver's normal mode.
gpsd_says() {
    stty -F "$1" 4800 raw -echo 2>/dev/null
    timeout 30 gpsctl -f "$1" 2>&1 | grep 'identified as' | tail -n 1 | sed 's/^/    /'
}

case $chip in
GSP2e/LPx | GSP2t) factory=GSW2.3.2_2.3.00.00-FACTORY1.00 ;;
*) factory=GSW3.2.4_3.1.00.12-SDK003P1.00a ;;
esac
echo "Starting the emulated $chip receiver on COM3, as it comes from the factory ($factory)..."
rm -f "$work/receiver.bin" "$work/receiver.pty"
"$bindir/gpsdevsim" --flash "$work/receiver.bin" --chip "$chip" --factory "$factory" --baud 115200 "${pace[@]}" \
    --link "$work/receiver.pty" >"$work/receiver.out" 2>"$work/receiver.log" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/receiver.out" ] && break; sleep 0.05; done
[ -s "$work/receiver.out" ] || { echo "gpsdevsim did not start: $(cat "$work/receiver.log")"; exit 1; }
cp "$work/receiver.bin" "$work/receiver-before.bin"
receiver_pty=$(head -n1 "$work/receiver.out")
echo "gpsd before the update:"
gpsd_says "$receiver_pty"
ln -sfn "$receiver_pty" "$WINEPREFIX/dosdevices/com3"
set_ports '\\Device\\Serial2=COM3'

cd "$work"
if [ "$headless" = 0 ]; then
    echo "Opening the updater. Press \"Actualizar\", then \"Salir(Exit)\" when it is done."
    wine "$work/Mirador-demo.exe" >"$work/updater.log" 2>&1 || true
else
    pid=$(start "$work/Mirador-demo.exe") || { echo "the updater did not start"; exit 1; }
    drive opened.txt --pid "$pid" --timeout 30000 wait window >/dev/null || { echo "no window"; exit 1; }
    screenshot "$work/1-start.png"
    if [ "$erase" = 1 ]; then
        drive radio.txt --pid "$pid" press 1009 >/dev/null
    fi
    echo "Pressing \"Actualizar\"..."
    started=$(date +%s%N)
    drive click.txt --pid "$pid" click 1003 >/dev/null
    shot_taken=0
    for _ in $(seq 1200); do
        wine "$bindir/uidriver.exe" --pid "$pid" - >poll.txt 2>/dev/null <<'SCRIPT' || true
progress 1004
msgboxes
SCRIPT
        pos=$(sed -n 's/^pos=\([0-9]*\).*/\1/p' poll.txt)
        if [ "$shot_taken" = 0 ] && [ -n "$pos" ] && [ "$pos" -ge 30 ] && [ "$pos" -le 80 ]; then
            screenshot "$work/2-flashing.png"
            shot_taken=1
        fi
        grep -q '^msgbox ' poll.txt && break
        sleep 0.25
    done
    ended=$(date +%s%N)
    screenshot "$work/3-outcome.png"
    echo "The updater says, $(awk -v ns=$((ended - started)) 'BEGIN { printf "%.1f", ns / 1e9 }') s after the press:"
    sed -n 's/^msgbox /    /p' poll.txt | readable
    # Close the boxes as a person would, then leave through Exit.
    for _ in 1 2 3; do
        drive close.txt --pid "$pid" msgbox-ok >/dev/null 2>&1 || break
        sleep 2
    done
    drive button.txt --pid "$pid" text 1003 >/dev/null || true
    echo "    update button: $(readable <button.txt)"
    drive exit.txt --pid "$pid" - >/dev/null <<'SCRIPT' || echo "the updater did not close"
click 1
wait exit
SCRIPT
fi

echo "gpsd after the update:"
gpsd_says "$receiver_pty"

# What the receiver holds now: the firmware for its chip, merged with the database.
kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
sim_pid=""
rm -rf "$work/payload"
wine "$bindir/sfxpack.exe" extract "$work/Mirador-demo.exe" "$work/payload" >/dev/null 2>&1
case $chip in
GSP3) firmware=GSP3demo.S3 ;;
GSP2e/LPx) firmware=GSP2edemo.S2X ;;
*) firmware=SiRFdemo.S2 ;;
esac
{ sed '$d' "$work/payload/$firmware"; cat "$work/payload/demo.DB0"; printf 'S70500000000FA\r\n'; } >"$work/expected.s3"
srec_cat "$work/expected.s3" -o "$work/expected.bin" -binary
echo "The receiver (build/demo/receiver.bin):"
status=0
if cmp -s -n "$code_bytes" "$work/expected.bin" "$work/receiver.bin" &&
    cmp -s -i $((0xE0000)):$((0xE0000)) -n 4096 "$work/expected.bin" "$work/receiver.bin"; then
    echo "    holds $firmware with the database merged in, byte for byte"
else
    echo "    does not hold $firmware (no update, or a failed one)"
    status=1
fi
if cmp -s -i $((0xF0000)):$((0xF0000)) "$work/receiver-before.bin" "$work/receiver.bin"; then
    echo "    user positions (last sector): kept"
else
    echo "    user positions (last sector): erased"
fi
if [ "$headless" = 1 ]; then
    echo "Screenshots: build/demo/1-start.png, 2-flashing.png, 3-outcome.png"
fi
exit $status
