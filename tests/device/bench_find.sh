#!/usr/bin/env bash
# How long SiRFflashcl takes to find a receiver, from the open to its answer, against the same
# search for a receiver already in our loader, measured in the same run on paced emulated lines:
#   - a receiver in its normal mode, NMEA at 4800 bit/s (goal: identified within 3 s);
#   - a silent port, every speed tried (goal: given up within 8 s).
#
#   tests/device/bench_find.sh [BIN_DIR] [ROUNDS]     (defaults build/native/bin and 3)
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
bin=$(cd "${1:-$root/build/native/bin}" && pwd)
rounds=${2:-3}
work=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# best NAME [gpsdevsim options]: the fastest --identify of the rounds, in ms; the last output in NAME.out.
best() {
    local name=$1 best="" t0 t1 ms
    shift
    for _ in $(seq "$rounds"); do
        rm -f "$work/f.bin" "$work/pty"
        "$bin/gpsdevsim" --flash "$work/f.bin" --pace "$@" >"$work/pty" 2>/dev/null &
        sim_pid=$!
        for _ in $(seq 100); do [ -s "$work/pty" ] && break; sleep 0.05; done
        t0=$(date +%s%N)
        SIRFFLASH_COM9=$(head -n 1 "$work/pty") "$bin/SiRFflashcl" --identify -l 9 -b 115200 >"$work/$name.out" 2>&1
        t1=$(date +%s%N)
        kill "$sim_pid" && wait "$sim_pid" 2>/dev/null
        sim_pid=""
        ms=$(((t1 - t0) / 1000000))
        if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
    done
    echo "$best"
}

loader=$(best loader --boot --baud 115200)
nmea=$(best nmea --factory GSW3.2.4_3.1.00.12-SDK003P1.00a)
silent=$(best silent --silent)
grep -q 'protocol: NMEA' "$work/nmea.out" || { echo "the NMEA receiver was not identified: $(cat "$work/nmea.out")"; exit 1; }
awk -v l="$loader" -v n="$nmea" -v s="$silent" 'BEGIN {
    printf "reference: a receiver in our loader     %6.2f s\n", l / 1000
    printf "NMEA at 4800, identified               %6.2f s  (goal 3 s: ratio %.2f; %.1f times the reference)\n", n / 1000, n / 3000, n / l
    printf "silent port, every speed tried         %6.2f s  (goal 8 s: ratio %.2f)\n", s / 1000, s / 8000 }'
