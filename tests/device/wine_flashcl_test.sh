#!/usr/bin/env bash
# SiRFflashcl.exe under Wine against the Linux gpsdevsim: each case links a COM port of the
# test prefix (30 to 39, ours alone) to an emulator's pty and starts the utility through
# flashcl_launch.exe, the way the updater starts it.
#
#   wine_flashcl_test.sh BIN_DIR WORK_DIR WINE_RUN
set -uo pipefail

bin=$1
work=$2
winerun=$3
export UPDATER_WINE_PREFIX=${UPDATER_WINE_PREFIX:-$(dirname "$bin")/wineprefix}
dos=$UPDATER_WINE_PREFIX/dosdevices

rm -rf "$work"
mkdir -p "$work"
passed=0
failed=0
sims=()
links=()

cleanup() {
    for pid in "${sims[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    for l in "${links[@]}"; do
        rm -f "$l"
    done
}
trap cleanup EXIT

ok() { echo "ok - $1"; passed=$((passed + 1)); }
not_ok() { echo "not ok - $1: $2"; failed=$((failed + 1)); }

winpath() { local p; p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); echo "Z:${p//\//\\}"; }

# start_sim NAME [gpsdevsim options]: starts an emulator with flash file NAME.bin; sets sim_pid, sim_pty.
start_sim() {
    local name=$1
    shift
    "$bin/gpsdevsim" --flash "$work/$name.bin" "$@" >"$work/$name.pty" 2>"$work/$name.err" &
    sim_pid=$!
    sims+=("$sim_pid")
    sim_pty=
    for _ in $(seq 100); do
        sim_pty=$(head -n 1 "$work/$name.pty" 2>/dev/null)
        [ -n "$sim_pty" ] && return 0
        sleep 0.05
    done
    echo "gpsdevsim did not start: $(cat "$work/$name.err")" >&2
    return 1
}

stop_sim() {
    kill -TERM "$1" && wait "$1"
}

# link_com N TARGET
link_com() {
    ln -sfn "$2" "$dos/com$1"
    links+=("$dos/com$1")
}

# launch LOG [ENV=VALUE...] -- utility arguments: runs the utility through the launcher.
launch() {
    local log=$1
    shift
    local envs=()
    while [ "$1" != "--" ]; do envs+=("$1"); shift; done
    shift
    env "${envs[@]}" "$winerun" "$bin/flashcl_launch.exe" 60000 "$(winpath "$bin/SiRFflashcl.exe")" "$@" \
        >"$log" 2>"$log.err"
}

final_code() { grep '^record ' "$1" | tail -n 1 | awk '{print $2}'; }
has_record() { grep -q "^record $2 " "$1"; }
first_progress_ms() { grep -m 1 '^record 1004 ' "$1" | awk '{print substr($4, 2)}'; }

# The first Wine call creates the shared prefix if no other test has yet.
"$winerun" "$bin/flashcl_launch.exe" >/dev/null 2>&1
[ -d "$dos" ] || { echo "no Wine prefix at $UPDATER_WINE_PREFIX"; exit 1; }

# Firmware: text that compresses and random bytes that do not; a database merged into it
# before its final S7 record, as the updater merges it.
seq 1 9000 | tr '\n' ' ' | head -c 30000 >"$work/fw.bin"
head -c 14000 /dev/urandom >>"$work/fw.bin"
head -c 2500 /dev/urandom >"$work/db.bin"
to_srec() {
    srec_cat "$1" -binary -offset "$2" -o "$3" -motorola -address-length=4 -crlf -execution-start-address=0 \
        -disable=header -output_block_size=32
}
to_srec "$work/fw.bin" 0 "$work/fw-only.s"
to_srec "$work/db.bin" 0x30000 "$work/db.s"
head -c -16 "$work/fw-only.s" >"$work/fw.s"
grep -v '^S[0579]' "$work/db.s" >>"$work/fw.s"
tail -c 16 "$work/fw-only.s" >>"$work/fw.s"
fw_len=$(stat -c %s "$work/fw.bin")

# Probe and flashing on COM30.
if start_sim main; then
    link_com 30 "$sim_pty"
    cp "$work/main.bin" "$work/fresh.bin"
    launch "$work/probe.log" -- "$(winpath "$work/123.bin")" -l 30 -b 115200 -r -f 0x0 -t 0xFF
    if [ "$(final_code "$work/probe.log")" = 1006 ] && grep -q '^record 1009 30 +[0-9]* GSP3$' "$work/probe.log" &&
        cmp -s -n 256 "$work/123.bin" "$work/fresh.bin" && [ "$(stat -c %s "$work/123.bin")" = 256 ] &&
        [ "$(first_progress_ms "$work/probe.log")" -lt 6000 ]; then
        ok "probe names the chip and reads 0x0 to 0xFF"
    else
        not_ok "probe" "$(cat "$work/probe.log")"
    fi

    for erase in no yes; do
        opt=()
        [ $erase = yes ] && opt=(-e)
        launch "$work/flash-$erase.log" -- "$(winpath "$work/fw.s")" -l 30 -b 115200 "${opt[@]}"
        user_ok=0
        if [ $erase = yes ]; then
            head -c 65536 /dev/zero | tr '\0' '\377' | cmp -s - <(tail -c 65536 "$work/main.bin") && user_ok=1
        else
            cmp -s <(tail -c 65536 "$work/fresh.bin") <(tail -c 65536 "$work/main.bin") && user_ok=1
        fi
        if [ "$(final_code "$work/flash-$erase.log")" = 1006 ] && cmp -s -n "$fw_len" "$work/main.bin" "$work/fw.bin" &&
            cmp -s -n 2500 -i $((0x30000)):0 "$work/main.bin" "$work/db.bin" && [ $user_ok = 1 ]; then
            ok "flashing (erase all: $erase) writes the image and the database, user positions $([ $erase = yes ] && echo erased || echo kept)"
        else
            not_ok "flashing (erase all: $erase)" "user_ok=$user_ok $(tail -n 3 "$work/flash-$erase.log")"
        fi
    done
    if stop_sim "$sim_pid"; then ok "gpsdevsim exits 0 on SIGTERM"; else not_ok "gpsdevsim exit" "status $?"; fi
fi

# A port that does not exist, and one that exists but cannot be opened. Wine lets a second
# program open a serial port that is in use, so a link to a directory stands in for it: Wine then
# refuses with ERROR_ACCESS_DENIED, what Windows gives for a port in use.
rm -f "$dos/com31"
launch "$work/missing.log" -- "$(winpath "$work/123.bin")" -l 31 -b 115200 -r -f 0x0 -t 0xFF
if [ "$(final_code "$work/missing.log")" = 2 ] && [ "$(grep -c '^record' "$work/missing.log")" = 1 ]; then
    ok "a missing port gives 2"
else
    not_ok "missing port" "$(cat "$work/missing.log")"
fi
mkdir -p "$work/busy"
link_com 32 "$work/busy"
launch "$work/busy.log" -- "$(winpath "$work/123.bin")" -l 32 -b 115200 -r -f 0x0 -t 0xFF
if [ "$(final_code "$work/busy.log")" = 14 ]; then
    ok "a port that cannot be opened gives 14"
else
    not_ok "busy port" "$(cat "$work/busy.log")"
fi

# A receiver that never answers: nothing until the no-answer code, after every speed was tried.
if start_sim silent --silent; then
    link_com 33 "$sim_pty"
    launch "$work/silent.log" -- "$(winpath "$work/123.bin")" -l 33 -b 115200 -r -f 0x0 -t 0xFF
    if [ "$(final_code "$work/silent.log")" = 20 ] && [ "$(grep -c '^record' "$work/silent.log")" = 1 ]; then
        ok "a silent receiver gives only the no-answer code"
    else
        not_ok "silent receiver" "$(cat "$work/silent.log")"
    fi
fi

# Unplugged in the middle of writing: an error, never done.
if start_sim drop --drop-after 15000; then
    link_com 34 "$sim_pty"
    launch "$work/drop.log" -- "$(winpath "$work/fw.s")" -l 34 -b 115200
    code=$(final_code "$work/drop.log")
    if [ -n "$code" ] && [ "$code" -lt 1000 ] && ! has_record "$work/drop.log" 1006 && has_record "$work/drop.log" 1004; then
        ok "a line dropped mid-write ends in error $code"
    else
        not_ok "dropped line" "$(cat "$work/drop.log")"
    fi
fi

# Corrupted bytes from the receiver are recovered by retry.
if start_sim noisy --corrupt-every 41; then
    link_com 35 "$sim_pty"
    launch "$work/noisy.log" -- "$(winpath "$work/fw.s")" -l 35 -b 115200 -e
    if [ "$(final_code "$work/noisy.log")" = 1006 ] && cmp -s -n "$fw_len" "$work/noisy.bin" "$work/fw.bin"; then
        ok "corrupted bytes are recovered"
    else
        not_ok "corrupted bytes" "$(tail -n 3 "$work/noisy.log")"
    fi
fi

# One utility per port: Wine lets two programs open one COM port, so the utility claims the port
# for its whole run and a second run on it gets 14, never a second writer.
if start_sim shared --pace; then
    link_com 36 "$sim_pty"
    launch "$work/first.log" -- "$(winpath "$work/fw.s")" -l 36 -b 115200 &
    first=$!
    for _ in $(seq 200); do
        grep -q '^record 1004 ' "$work/first.log" 2>/dev/null && break
        sleep 0.05
    done
    launch "$work/second.log" -- "$(winpath "$work/123.bin")" -l 36 -b 115200 -r -f 0x0 -t 0xFF
    wait "$first"
    launch "$work/third.log" -- "$(winpath "$work/123.bin")" -l 36 -b 115200 -r -f 0x0 -t 0xFF
    if [ "$(final_code "$work/second.log")" = 14 ] && [ "$(final_code "$work/first.log")" = 1006 ] &&
        cmp -s -n "$fw_len" "$work/shared.bin" "$work/fw.bin" && [ "$(final_code "$work/third.log")" = 1006 ]; then
        ok "a second utility on a port in use gets 14; the first flashes alone"
    else
        not_ok "one utility per port" "first: $(tail -n 2 "$work/first.log") second: $(cat "$work/second.log") third: $(tail -n 2 "$work/third.log")"
    fi
fi

# A folder and an oversized (sparse) file as the firmware: their codes, before any port.
mkdir -p "$work/folder"
truncate -s 1200M "$work/huge.s"
launch "$work/folder.log" -- "$(winpath "$work/folder")" -l 31 -b 115200
launch "$work/huge.log" -- "$(winpath "$work/huge.s")" -l 31 -b 115200
if [ "$(final_code "$work/folder.log")" = 30 ] && [ "$(final_code "$work/huge.log")" = 31 ] &&
    grep -q '^exit 30' "$work/folder.log"; then
    ok "a folder gives 30 and a 1.2 GB firmware 31"
else
    not_ok "files that are no firmware" "$(cat "$work/folder.log" "$work/huge.log")"
fi
rm -f "$work/huge.s"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
