#!/usr/bin/env bash
# gpsd, a program written elsewhere, as a peer: run as a black box (its own programs, in the
# foreground, with a control socket of its own), it must take gpsdevsim for a SiRF receiver and
# name the version of the firmware in its flash, before and after our utility flashes another.
#
#   gpsd_test.sh BIN_DIR WORK_DIR
set -uo pipefail

bin=$(cd "$1" && pwd)
work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
passed=0
failed=0
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
    wait 2>/dev/null
}
trap cleanup EXIT

ok() { echo "ok - $1"; passed=$((passed + 1)); }
not_ok() { echo "not ok - $1: $2"; failed=$((failed + 1)); }

for p in gpsd gpsctl; do
    command -v "$p" >/dev/null || PATH=$PATH:/usr/sbin
    command -v "$p" >/dev/null || { echo "not ok - $p is missing: run scripts/install-deps.sh"; exit 1; }
done

old=GSW3.2.4_3.1.00.12-SDK003P1.00a
new=GSW3.5.0_3.5.00.00-SDK-3EP2.01

# sim NAME [gpsdevsim options]: a receiver with flash NAME.bin; sets pty.
sim() {
    local name=$1
    shift
    "$bin/gpsdevsim" --flash "$name.bin" "$@" >"$name.pty" 2>"$name.err" &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$name.pty" ] && break; sleep 0.05; done
    pty=$(head -n 1 "$name.pty")
}

# gpsctl_says TTY SPEED: gpsctl's identification, the tty set to SPEED first (gpsd starts at
# the tty's current speed).
gpsctl_says() {
    stty -F "$1" "$2" raw -echo 2>/dev/null
    timeout 30 gpsctl -f "$1" 2>&1 | grep 'identified as' | tail -n 1
}

# 1. NMEA at 4800, as at power-up, and SiRF binary at 38400.
sim nmea --factory "$old"
said=$(gpsctl_says "$pty" 4800)
if [ "$said" = "$pty identified as a SiRF $old at 4800 baud." ]; then ok "gpsctl, NMEA at 4800: $said"; else not_ok "gpsctl in NMEA at 4800" "'$said'"; fi
sim binary --factory "$old" --protocol binary --speed 38400
said=$(gpsctl_says "$pty" 38400)
if [ "$said" = "$pty identified as a SiRF $old at 38400 baud." ]; then ok "gpsctl, binary at 38400: $said"; else not_ok "gpsctl in binary at 38400" "'$said'"; fi

# 2. The daemon: driver SiRF, the version as its subtype, as a client on its port sees it.
sim daemon --factory "$old"
stty -F "$pty" 4800 raw -echo
port=$((20000 + $$ % 20000))
gpsd -N -n -F "$work/gpsd.sock" -S "$port" "$pty" >gpsd.log 2>&1 &
gpsd_pid=$!
pids+=("$gpsd_pid")
device=""
for _ in $(seq 20); do
    sleep 1
    exec 3<>"/dev/tcp/127.0.0.1/$port" 2>/dev/null || continue
    printf '?DEVICES;\n' >&3
    device=$(timeout 2 head -n 2 <&3 | grep '"class":"DEVICES"')
    exec 3<&-
    case $device in *"\"subtype\":\"$old\""*) break ;; esac
done
case $device in
*'"driver":"SiRF"'*"\"subtype\":\"$old\""*) ok "gpsd: driver SiRF, subtype $old" ;;
*) not_ok "gpsd's device" "'$device' ($(tail -n 3 gpsd.log))" ;;
esac
kill -TERM "$gpsd_pid" 2>/dev/null

# 3. Flashed by our utility from its normal mode: gpsd names the new version.
# A firmware whose version string ends it, as a real one carries it.
for _ in $(seq 200); do printf 'new firmware code '; done >code.bin
printf '%s\0' "$new" >>code.bin
srec_cat code.bin -binary -execution-start-address=0 -o fw.s3 -Motorola -address-length=4 -line-termination=crlf >/dev/null 2>&1 ||
    not_ok "srec_cat" "cannot make the firmware"
sim flashed --factory "$old"
run=$(SIRFFLASH_COM9=$pty "$bin/SiRFflashcl" fw.s3 -l 9 -b 115200 2>&1)
case $run in *done*) ok "SiRFflashcl flashed the receiver from its normal mode" ;; *) not_ok "flashing" "$run" ;; esac
said=$(gpsctl_says "$pty" 4800)
if [ "$said" = "$pty identified as a SiRF $new at 4800 baud." ]; then ok "gpsctl after the update: $said"; else not_ok "gpsctl after the update" "'$said'"; fi

# 4. A version whose family token follows a numeric build: our utility names its family.
sim build --factory 2.3.2-GSW2-DEMO1.00
run=$(SIRFFLASH_COM9=$pty "$bin/SiRFflashcl" --identify -l 9 -b 115200 2>&1)
case $run in
*"version: 2.3.2-GSW2-DEMO1.00"*"family: GSP2e/LPx"*) ok "SiRFflashcl --identify: 2.3.2-GSW2-DEMO1.00 is a GSP2e/LPx" ;;
*) not_ok "--identify of a build before the family" "$run" ;;
esac

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
