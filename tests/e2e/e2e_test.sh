#!/usr/bin/env bash
# The whole update, as a person runs it: the real updater (a release packed by sfxpack with our
# SiRFflashcl.exe) under Xvfb and Wine, driven from outside by tests/support/uidriver, flashing the
# Linux receiver emulator on a pseudo-terminal linked as a COM port of the test's Wine prefix.
#
#   e2e_test.sh CASE BINDIR LOGO WORKDIR PREFIX
#
# CASE: keep, erase, ports, loopback, nofirmware, unplugged, redo, stalled, silentflash, signed, lookalike,
# userpos, ownname, tempblank, tempansi, untouched, two, gpsd (see the functions below). BINDIR is
# the Windows build's bin/ (Mirador.exe, SiRFflashcl.exe, chiplist.txt, uidriver.exe, sfxpack.exe,
# and the Linux gpsdevsim). Screenshots of the main moments go next to WORKDIR as e2e-*.png.
# COM port numbers 40 to 49 belong to these tests.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
case_name=$1
bindir=$(cd "$2" && pwd)
logo=$3
work=$4
export WINEPREFIX=$5

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
cd "$work" || exit 1
shots=$(dirname "$work")

# shellcheck source=../support/wine-ui.sh
. "$here/../support/wine-ui.sh"

sims=()
cleanup() {
    for p in "${sims[@]}"; do kill "$p" 2>/dev/null; done
    rm -f "$WINEPREFIX"/dosdevices/com4[0-9]
    wineui_cleanup
}
trap cleanup EXIT
start_display
start_wine
rm -f "$WINEPREFIX"/dosdevices/com4[0-9]

# What the updater's own boxes and button say, byte for byte, as the driver prints them.
SUCCESS_CAPTION='\xA2\xAEExito'
SUCCESS_TEXT='Actualizacion Terminada. '
SUCCESS_BUTTON='\xA2\xAEExito!!'
FAILED_BUTTON='Recomprobacion de Actualizacion'
FAILED_TEXT='existe Puerto de Serie Virtual. \x0D\x0A No se puede Abrir el Puerto de Serie.'
NO_PART_TEXT='No se puede encontrar un elemento constitutivo.'

# release OUT [make-release options]: a demo release with small firmware.
release() {
    local out=$1
    shift
    "$source_dir/demo/make-release.sh" --code-bytes 65536 "$@" "$bindir" "$logo" "$out" >release.log 2>&1 ||
        fail "cannot pack $out: $(tr -d '\r' <release.log)"
}

# gsp3_release OUT LABEL UTILITY: a release with firmware for GSP3 receivers only and UTILITY
# packed as the flash utility.
gsp3_release() {
    "$source_dir/demo/make-firmware.sh" fw 4096
    wine "$bindir/sfxpack.exe" pack --exe "$bindir/Mirador.exe" --out "$1" --label "$2" \
        fw/GSP3demo.S3 fw/demo.DB0 "SiRFflashcl.exe=$3" "$bindir/chiplist.txt" "logo.bmp=$logo" \
        >pack.log 2>&1 || fail "cannot pack: $(cat pack.log)"
}

sfxpack_extract() {
    wine "$bindir/sfxpack.exe" extract "$1" "$2" >extract.log 2>&1 || fail "cannot extract $1: $(cat extract.log)"
}

# The firmware a new receiver comes with, and what the demo firmware for GSP3 names.
FACTORY_VERSION=GSW3.2.4_3.1.00.12-SDK003P1.00a
GSP3_DEMO_VERSION=GSW3.5.0_3.5.00.00-SDK-3EP2.01
# Where the demo firmware of a release (65536 bytes of code) ends: after its version and a NUL.
FW_END=$((65536 + ${#GSP3_DEMO_VERSION} + 1))

# sim NAME COM [gpsdevsim options]: a receiver with flash file NAME.bin on COM port COM; keeps
# its flash as it was before the update in NAME.before.bin. A new flash file holds a factory
# firmware, so the receiver powers up as a real one does: NMEA at 4800 bit/s. Its loader runs at
# the updater's 115200 bit/s.
sim() {
    local name=$1 com=$2 factory=$FACTORY_VERSION
    shift 2
    case " $* " in *" GSP2e/LPx "*) factory=GSW2.3.2_2.3.00.00-FACTORY1.00 ;; esac
    "$bindir/gpsdevsim" --flash "$work/$name.bin" --factory "$factory" --baud 115200 "$@" \
        >"$name.pty" 2>"$name.err" &
    sims+=($!)
    for _ in $(seq 100); do [ -s "$name.pty" ] && [ -f "$name.bin" ] && break; sleep 0.05; done
    if [ ! -s "$name.pty" ]; then
        fail "gpsdevsim $name did not start: $(cat "$name.err")"
        return 1
    fi
    ln -sfn "$(head -n1 "$name.pty")" "$WINEPREFIX/dosdevices/com$com"
    cp "$name.bin" "$name.before.bin"
}

# merged_image PAYLOAD_DIR FIRMWARE OUT: what a receiver must hold after the firmware with the
# database merged in was flashed, as binary from address 0.
merged_image() {
    { sed '$d' "$1/$2"; cat "$1/demo.DB0"; printf 'S70500000000FA\r\n'; } >"$3.s3"
    srec_cat "$3.s3" -o "$3" -binary 2>>srec.log || fail "srec_cat cannot read $3.s3"
}

# same_bytes WHAT A B OFFSET LENGTH
same_bytes() {
    cmp -s -i "$4:$4" -n "$5" "$2" "$3" || fail "$1 differs ($2 against $3 at $4, $5 bytes)"
}

# erased WHAT FILE OFFSET LENGTH: all 0xFF
erased() {
    local n
    n=$(od -An -v -tx1 -j "$3" -N "$4" "$2" | tr -s ' ' '\n' | grep -c '^[0-9a-f][0-9a-f]$' )
    local ff
    ff=$(od -An -v -tx1 -j "$3" -N "$4" "$2" | tr -s ' ' '\n' | grep -c '^ff$')
    { [ "$n" = "$4" ] && [ "$ff" = "$4" ]; } || fail "$1: $((n - ff)) of $n bytes not erased"
}

shot() {
    import -window root "$shots/e2e-$1.png" 2>/dev/null || fail "no screenshot $1"
}

open_release() {
    pid=$(start "$1") || { fail "cannot start $1"; return 1; }
    drive opened.txt --pid "$pid" --timeout 30000 wait window >/dev/null || { fail "the window did not open"; return 1; }
}

# Presses the update button and waits for the first box of the outcome.
run_update() {
    drive update.txt --pid "$pid" --timeout 90000 - <<'SCRIPT' || fail "the update did not come to an end"
click 1003
wait msgbox
msgboxes
SCRIPT
}

# wait_box TEXT: waits up to 20 s until a message box shows TEXT; the boxes are in boxes.txt.
wait_box() {
    for _ in $(seq 80); do
        wine "$bindir/uidriver.exe" --pid "$pid" msgboxes >boxes.txt 2>/dev/null
        grep -qF "text=\"$1\"" boxes.txt && return 0
        sleep 0.25
    done
    return 1
}

# Closes the success box; the update button then reads the success text.
close_success_box() {
    drive after.txt --pid "$pid" - <<'SCRIPT'
msgbox-ok
wait no-msgbox
text 1003
SCRIPT
    grep -qF "\"$SUCCESS_BUTTON\"" after.txt || fail "button text after success: $(cat after.txt)"
}

# The extracted payload is gone once an update is over; the probe's dump stays until Exit. The
# updater works in a folder of its own (Mirador-<process>-<n>): its files count as the temporary
# directory's, and the folder itself shows only when it is left empty.
check_cleaned_up() {
    local t=${temp_unix:-$(temp_dir)} left
    if [ -z "$t" ] || [ ! -d "$t" ]; then fail "no temporary directory"; return; fi
    left=$(cd "$t" && find . -mindepth 1 \( -type d -name 'Mirador-*' -empty -printf 'Mirador-/\n' \) -o \( -type f -printf '%f\n' \) |
        LC_ALL=C sort | tr '\n' ' ')
    [ "$left" = "$1" ] || fail "temporary directory holds '$left', expected '$1'"
}

exit_updater() {
    drive exit.txt --pid "$pid" - <<'SCRIPT' || fail "Exit did not close the updater"
click 1
wait exit
SCRIPT
    check_cleaned_up ""
}

# ---------------------------------------------------------------------------------------------

# A GSP3 receiver, the user positions kept: the firmware for GSP3 with the database merged in
# is flashed, and nothing else changes.
case_keep() {
    set_ports '\\Device\\Serial40=COM41'
    release Mirador-demo.exe
    update_keeping_positions Mirador-demo.exe
}

# update_keeping_positions RELEASE [COPY]: the update of a GSP3 receiver on COM41, checked whole
# against the payload of RELEASE (or of COPY, the same bytes under a plain name).
update_keeping_positions() {
    local rel=$1 copy=${2:-$1}
    sim rx 41 --chip GSP3 || return
    open_release "$rel" || return
    shot start
    run_update
    printf 'ok msgbox\nmsgbox caption="%s" text="%s"\n' "$SUCCESS_CAPTION" "$SUCCESS_TEXT" |
        expect_output "the success box" update.txt
    shot success
    drive after.txt --pid "$pid" - <<'SCRIPT'
msgbox-ok
wait no-msgbox
text 1003
state 1003
state 1001
state 1002
progress 1004
text 1006
SCRIPT
    printf '%s\n' 'ok no-msgbox' "\"$SUCCESS_BUTTON\"" 'visible=1 enabled=1' 'visible=1 enabled=1' \
        'visible=1 enabled=0' 'pos=105 lower=0 upper=105' '""' | expect_output "the window after success" after.txt
    check_cleaned_up "123.bin "

    sfxpack_extract "$copy" payload
    merged_image payload GSP3demo.S3 merged.bin
    same_bytes "the firmware" merged.bin rx.bin 0 "$FW_END"
    same_bytes "the database" merged.bin rx.bin $((0xE0000)) 4096
    same_bytes "the user positions" rx.before.bin rx.bin $((0xF0000)) 65536
    same_bytes "the flash between firmware and database" rx.before.bin rx.bin "$FW_END" $((0xE0000 - FW_END))
    exit_updater
}

# A release made and signed by the vendors' release script (its own release-only build, a
# PKCS#12 file made here): it verifies, and updates the receiver as an unsigned one does.
case_signed() {
    set_ports '\\Device\\Serial40=COM41'
    signed_release Mirador-signed.exe || return
    update_keeping_positions Mirador-signed.exe
}

# A signed release saved under a name with U+FF3F (FULLWIDTH LOW LINE) beside an unsigned one
# named with its ANSI look-alike "_": the updater reads the file Windows started, so it shows its
# own label and flashes its own firmware.
case_lookalike() {
    set_ports '\\Device\\Serial40=COM41'
    local rel
    rel=$(printf 'Mirador\xef\xbc\xbf1.40.exe')
    signed_release "$rel" || return
    release Mirador_1.40.exe --code-bytes 32768 --label "Firmware sin firma"
    shows_label "$rel" "Firmware firmado 1.40"
    # sfxpack.exe takes its arguments in the ANSI code page: it reads a copy of a plain name.
    cp "$rel" signed-copy.exe
    update_keeping_positions "$rel" signed-copy.exe
}

# signed_release NAME: a release made and signed by the release script, checked as a vendor would.
signed_release() {
    mkdir -p firmware
    "$source_dir/demo/make-firmware.sh" firmware 65536 >firmware.log 2>&1 || { fail "no demo firmware"; return 1; }
    if ! openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=E2E test vendor" \
        -addext "extendedKeyUsage=codeSigning" >openssl.log 2>&1 ||
        ! openssl pkcs12 -export -inkey key.pem -in cert.pem -out vendor.p12 -passout pass:e2e >>openssl.log 2>&1; then
        fail "openssl: $(cat openssl.log)"
        return 1
    fi
    echo e2e >pass.txt
    # The release-only build goes beside this build's programs, never into the source tree.
    "$source_dir/scripts/make-release.sh" --build-dir "$(dirname "$bindir")/release-build" \
        --out "$work" --name "$1" --label "Firmware firmado 1.40" --logo "$logo" \
        --pkcs12 vendor.p12 --pass-file pass.txt --ca cert.pem \
        firmware/GSP3demo.S3 firmware/GSP2edemo.S2X firmware/SiRFdemo.S2 firmware/demo.DB0 >make-release.log 2>&1 ||
        { fail "make-release.sh: $(cat make-release.log)"; return 1; }
    rm -f key.pem vendor.p12
    grep -qF "$1 (signed and verified)" make-release.log || fail "not signed: $(cat make-release.log)"
    grep -q '^Flash utility:  ours' make-release.log || fail "the release script does not say which utility it packed"
    (sha256sum -c SHA256SUMS >/dev/null) || fail "SHA256SUMS does not match the release"
    osslsigncode verify -CAfile cert.pem -in "$1" >verify.log 2>&1 || fail "does not verify: $(cat verify.log)"
}

# shows_label RELEASE LABEL: the release opens and shows LABEL as its update information.
shows_label() {
    open_release "$1" || return
    drive label.txt --pid "$pid" - <<'SCRIPT' || fail "$1: Exit did not close the updater"
text 1005
click 1
wait exit
SCRIPT
    grep -qxF "\"$2\"" label.txt || fail "$1 shows '$(head -n1 label.txt)', not its own label '$2'"
}

# A release with one ".s" firmware and no database, on a GSP2e/LPx receiver, the user positions
# erased: the whole chip is erased first, then the firmware is written as it is.
case_erase() {
    set_ports '\\Device\\Serial40=COM41'
    release Mirador-single.exe --single --label "Firmware unico 1.40"
    sim rx 41 --chip GSP2e/LPx || return
    open_release Mirador-single.exe || return
    drive radio.txt --pid "$pid" - <<'SCRIPT' || fail "cannot choose to erase the user positions"
press 1009
sleep 300
radio 1009
SCRIPT
    grep -q 'checked=1' radio.txt || fail "Borrar Posiciones de Usuario is not checked"
    run_update
    grep -qF "caption=\"$SUCCESS_CAPTION\"" update.txt || fail "no success: $(cat update.txt)"
    close_success_box
    sfxpack_extract Mirador-single.exe payload
    srec_cat payload/single.S -o single.bin -binary 2>>srec.log || fail "srec_cat cannot read single.S"
    same_bytes "the firmware" single.bin rx.bin 0 "$FW_END"
    erased "the user positions" rx.bin $((0xF0000)) 65536
    erased "the rest of the chip" rx.bin "$FW_END" $((0xF0000 - FW_END))
    exit_updater
}

# While flashing, Exit, Escape and the close command are refused with the updater's warning,
# and the flashing goes on.
busy_refusals() {
    local how
    for how in "click 1" "key escape" "syscommand 0xF060"; do
        drive refused.txt --pid "$pid" - <<SCRIPT || fail "$how while flashing: no warning"
$how
wait msgbox Advertencia
msgboxes
msgbox-ok Advertencia
wait no-msgbox
wait window
SCRIPT
        grep -qxF 'msgbox caption="Advertencia" text="Ahora Actualice...."' refused.txt ||
            fail "$how while flashing: $(cat refused.txt)"
    done
}

# Four ports: one that does not exist, one that cannot be opened, one where nothing answers,
# and the receiver. They are tried in that order; the silent one is given up on by the
# watchdog and its utility stopped; the receiver is flashed at the line rate, with progress,
# and the updater cannot be closed meanwhile.
case_ports() {
    set_ports '\\Device\\Serial40=COM41' '\\Device\\Serial41=COM42' '\\Device\\Serial42=COM43' \
        '\\Device\\Serial43=COM44'
    # Large enough that flashing at the line rate lasts while the refusals are tried.
    release Mirador-demo.exe --code-bytes 262144
    mkdir -p not-a-port
    ln -sfn "$work/not-a-port" "$WINEPREFIX/dosdevices/com42"
    sim silent 43 --silent || return
    sim rx 44 --chip GSP3 --pace || return
    open_release Mirador-demo.exe || return
    drive click.txt --pid "$pid" click 1003 >/dev/null || fail "cannot press the update button"

    # Follow the port list's selection and the progress bar until a box appears.
    local seen="" sel pos flashing_shot=0 silent_stopped=0
    for _ in $(seq 400); do
        wine "$bindir/uidriver.exe" --pid "$pid" - >poll.txt 2>/dev/null <<'SCRIPT'
combo 1001
progress 1004
msgboxes
SCRIPT
        sel=$(sed -n 's/^combo id=1001 count=4 sel=\([0-9-]*\).*/\1/p' poll.txt)
        [ -n "$sel" ] && [ "${seen##* }" != "$sel" ] && seen="$seen $sel"
        pos=$(sed -n 's/^pos=\([0-9]*\).*/\1/p' poll.txt)
        if [ "$flashing_shot" = 0 ] && [ "$sel" = 3 ] && [ -n "$pos" ] && [ "$pos" -ge 30 ] && [ "$pos" -le 70 ]; then
            shot flashing
            flashing_shot=1
            busy_refusals
        fi
        # Once the receiver's port is being probed, the utility on the silent port is gone.
        if [ "$sel" = 3 ] && ! utility_runs 'SiRFflashcl.* -l 43 '; then
            silent_stopped=1
        fi
        grep -q '^msgbox ' poll.txt && break
        sleep 0.25
    done
    [ "$seen" = " 0 1 2 3" ] || fail "ports tried in the order '$seen', expected ' 0 1 2 3'"
    [ "$flashing_shot" = 1 ] || fail "no progress seen while flashing"
    [ "$silent_stopped" = 1 ] || fail "the utility on the silent port was not stopped"
    grep -qF "caption=\"$SUCCESS_CAPTION\"" poll.txt || fail "no success after the ports: $(cat poll.txt)"
    drive after.txt --pid "$pid" - <<'SCRIPT'
msgbox-ok
wait no-msgbox
combo 1001
SCRIPT
    grep -q 'sel=3' after.txt || fail "the receiver's port is not selected after the update"
    cmp -s silent.before.bin silent.bin || fail "the silent receiver was written"
    sfxpack_extract Mirador-demo.exe payload
    merged_image payload GSP3demo.S3 merged.bin
    same_bytes "the firmware" merged.bin rx.bin 0 262144
    exit_updater
}

# A loop-back plug on the chosen port (our probe comes back as it went) and the receiver on the
# next one: the plug is no receiver, the port costs the update at most 8 s (from the start of its
# probe to the start of the next port's), and the receiver gets the firmware with the database
# merged in.
case_loopback() {
    set_ports '\\Device\\Serial40=COM41' '\\Device\\Serial41=COM42'
    release Mirador-demo.exe
    sim plug 41 --loopback || return
    sim rx 42 --chip GSP3 || return
    open_release Mirador-demo.exe || return
    local start first="" next="" ms
    start=$(date +%s%N)
    drive click.txt --pid "$pid" click 1003 >/dev/null || fail "cannot press the update button"
    for _ in $(seq 400); do
        [ -z "$first" ] && utility_runs 'SiRFflashcl.* -l 41 ' && first=$(date +%s%N)
        utility_runs 'SiRFflashcl.* -l 42 ' && next=$(date +%s%N) && break
        sleep 0.05
    done
    ms=$(((${next:-0} - ${first:-$start}) / 1000000))
    echo "COM41 cost the update ${ms} ms, from its probe's start to the next port's"
    { [ -n "$next" ] && [ "$ms" -le 8000 ]; } || fail "COM41 cost ${ms} ms, or the next port was not probed"
    drive update.txt --pid "$pid" --timeout 90000 - <<'SCRIPT' || fail "the update did not come to an end"
wait msgbox
msgboxes
SCRIPT
    grep -qF "caption=\"$SUCCESS_CAPTION\"" update.txt || fail "no success: $(cat update.txt)"
    close_success_box
    sfxpack_extract Mirador-demo.exe payload
    merged_image payload GSP3demo.S3 merged.bin
    same_bytes "the firmware" merged.bin rx.bin 0 "$FW_END"
    same_bytes "the database" merged.bin rx.bin $((0xE0000)) 4096
    exit_updater
}

# A receiver whose chip family has no firmware in the release: the update stops with the
# updater's error, the receiver untouched, and only Exit useful.
case_nofirmware() {
    set_ports '\\Device\\Serial40=COM41'
    gsp3_release Mirador-gsp3.exe "Solo GSP3" "$bindir/SiRFflashcl.exe"
    sim rx 41 --chip GSP2e/LPx || return
    open_release Mirador-gsp3.exe || return
    run_update
    printf 'ok msgbox\nmsgbox caption="Error" text="%s"\n' "$NO_PART_TEXT" |
        expect_output "the box of a chip without firmware" update.txt
    drive after.txt --pid "$pid" - <<'SCRIPT'
msgbox-ok
wait no-msgbox
text 1003
state 1003
state 1001
state 1002
SCRIPT
    printf '%s\n' 'ok no-msgbox' '"Ahora Actualice..."' 'visible=1 enabled=0' 'visible=1 enabled=0' \
        'visible=1 enabled=0' | expect_output "the window after the halt" after.txt
    check_cleaned_up "123.bin "
    cmp -s rx.before.bin rx.bin || fail "the receiver was written"
    exit_updater
}

# The receiver is unplugged in the middle of flashing: the utility's error, then the updater's
# failure; never success.
case_unplugged() {
    set_ports '\\Device\\Serial40=COM41'
    release Mirador-demo.exe
    sim rx 41 --chip GSP3 --drop-after 20000 || return
    open_release Mirador-demo.exe || return
    run_update
    shot failure
    grep -q '^msgbox caption="Mirador-demo" text="error desconocido(21)\.' update.txt ||
        fail "the utility's error box: $(cat update.txt)"
    # Both boxes carry the application's name: the updater's own follows once the utility's
    # is closed.
    drive close.txt --pid "$pid" msgbox-ok || fail "cannot close the utility's error box"
    wait_box "$FAILED_TEXT" || fail "no failure box: $(cat boxes.txt)"
    grep -qxF "msgbox caption=\"Mirador-demo\" text=\"$FAILED_TEXT\"" boxes.txt ||
        fail "the failure box: $(cat boxes.txt)"
    drive after.txt --pid "$pid" - <<'SCRIPT'
msgbox-ok
wait no-msgbox
text 1003
state 1003
state 1002
SCRIPT
    printf '%s\n' 'ok no-msgbox' "\"$FAILED_BUTTON\"" 'visible=1 enabled=1' 'visible=1 enabled=1' |
        expect_output "the window after the failure" after.txt
    grep -qF "$SUCCESS_CAPTION" update.txt after.txt && fail "success was reported"
    check_cleaned_up "123.bin "
    exit_updater
}

# The receiver is unplugged in the middle of flashing and plugged in again on the same flash
# file: pressing the button again flashes it whole, and the user positions are still there.
case_redo() {
    set_ports '\\Device\\Serial40=COM41'
    release Mirador-demo.exe
    sim rx 41 --chip GSP3 --drop-after 20000 || return
    cp rx.before.bin rx.original.bin
    open_release Mirador-demo.exe || return
    run_update
    grep -q 'text="error desconocido(21)\.' update.txt || fail "the first attempt did not fail: $(cat update.txt)"
    drive close.txt --pid "$pid" msgbox-ok || fail "cannot close the utility's error box"
    wait_box "$FAILED_TEXT" || fail "no failure box: $(cat boxes.txt)"
    drive closed.txt --pid "$pid" - <<'SCRIPT' || fail "cannot close the failure box"
msgbox-ok
wait no-msgbox
SCRIPT

    # Unplug for good (the emulator writes its flash file as it ends), then plug in again.
    kill "${sims[0]}" && wait "${sims[0]}" 2>/dev/null
    sfxpack_extract Mirador-demo.exe payload
    merged_image payload GSP3demo.S3 merged.bin
    cmp -s -n 65536 merged.bin rx.bin && fail "the interrupted attempt already wrote the whole firmware"
    sim rx 41 --chip GSP3 || return
    # Its firmware cut short, the receiver stays in its loader, where the utility finds it.
    grep -q 'boot mode at 115200 bit/s, firmware none' rx.err || fail "not in boot mode: $(cat rx.err)"
    run_update
    printf 'ok msgbox\nmsgbox caption="%s" text="%s"\n' "$SUCCESS_CAPTION" "$SUCCESS_TEXT" |
        expect_output "the success box of the second attempt" update.txt
    close_success_box
    kill "${sims[1]}" && wait "${sims[1]}" 2>/dev/null
    same_bytes "the firmware" merged.bin rx.bin 0 "$FW_END"
    same_bytes "the database" merged.bin rx.bin $((0xE0000)) 4096
    same_bytes "the user positions" rx.original.bin rx.bin $((0xF0000)) 65536
    check_cleaned_up "123.bin "
    exit_updater
}

# The stand-in utility reports once and then stays alive without a word (on COM48, apart from the
# other cases that may run at the same time): a minute later the updater ends it and tells the
# user, and the window is free again.
case_stalled() {
    set_ports '\\Device\\Serial47=COM48'
    gsp3_release Mirador-stalled.exe "Sin respuesta" "$bindir/flashstub.exe"
    printf 'record 1004 5 100 a b c\nhang\n' >scenario.txt
    FLASHSTUB_SCENARIO=$(wine_path "$work/scenario.txt")
    export FLASHSTUB_SCENARIO
    open_release Mirador-stalled.exe || return
    drive click.txt --pid "$pid" click 1003 >/dev/null || fail "cannot press the update button"
    # Past the 6 s watchdog: the run has reported, so it is still going.
    sleep 15
    wine "$bindir/uidriver.exe" --pid "$pid" msgboxes >early.txt 2>/dev/null
    grep -q '^msgbox ' early.txt && fail "a box before the minute was up: $(cat early.txt)"
    utility_runs 'SiRFflashcl.* -l 48 ' || fail "the stand-in utility is not running"
    drive stalled.txt --pid "$pid" --timeout 70000 - <<'SCRIPT' || fail "the silent run was never given up"
wait msgbox
msgboxes
SCRIPT
    grep -qxF 'msgbox caption="Error" text="El receptor no responde desde hace un minuto. Compruebe la conexion e intentelo otra vez."' \
        stalled.txt || fail "the box of a silent run: $(cat stalled.txt)"
    # Wine reaps an ended process a moment later.
    for _ in $(seq 50); do utility_runs 'SiRFflashcl.* -l 48 ' || break; sleep 0.2; done
    utility_runs 'SiRFflashcl.* -l 48 ' && fail "the silent utility was not ended"
    drive close.txt --pid "$pid" msgbox-ok || fail "cannot close the box"
    wait_box "$FAILED_TEXT" || fail "no failure box: $(cat boxes.txt)"
    drive after.txt --pid "$pid" - <<'SCRIPT'
msgbox-ok
wait no-msgbox
text 1003
state 1003
SCRIPT
    printf '%s\n' 'ok no-msgbox' "\"$FAILED_BUTTON\"" 'visible=1 enabled=1' |
        expect_output "the window after the silent run" after.txt
    drive exit.txt --pid "$pid" - <<'SCRIPT' || fail "Exit did not close the updater"
click 1
wait exit
SCRIPT
    # What the stand-in wrote about its command line stays, in the updater's folder; the payload
    # is gone. Then that folder goes too, so that the next run of this case starts empty.
    check_cleaned_up "received.txt "
    rm -rf "$(temp_dir)"/Mirador-*
}

# The stand-in utility probes a GSP3 receiver, then flashes without a record for longer than a
# minute: nothing ends it, the options stay locked and logging off is refused meanwhile; after
# the minute Exit asks, and No keeps waiting for the success. The next update's flashing run
# never speaks again: the close box asks, and Yes ends it, fails, cleans up and closes.
case_silentflash() {
    set_ports '\\Device\\Serial46=COM47'
    gsp3_release Mirador-silent.exe "Firmware & base 1.40" "$bindir/flashstub.exe"
    printf 'record 1009 GSP3\nrecord 1004 0 0 connected 0x0 GSP3\nrecord 1006\n' >probe.txt
    printf 'record 1004 0 0 erasing 0x0 GSP3\nsleep 75000\nrecord 1004 100 0 verifying 0x0 GSP3\nrecord 1006\n' \
        >flash.txt
    FLASHSTUB_SCENARIO=$(wine_path "$work/probe.txt")
    FLASHSTUB_FLASH_SCENARIO=$(wine_path "$work/flash.txt")
    export FLASHSTUB_SCENARIO FLASHSTUB_FLASH_SCENARIO
    open_release Mirador-silent.exe || return
    local ask='El receptor no responde desde hace un minuto. Si sale ahora, el receptor puede quedar sin firmware. Desea salir de todos modos?'

    drive click.txt --pid "$pid" click 1003 >/dev/null || fail "cannot press the update button"
    flashing_starts || return
    drive busy.txt --pid "$pid" - <<'SCRIPT'
state 1008
state 1009
query-end-session
SCRIPT
    printf '%s\n' 'visible=1 enabled=0' 'visible=1 enabled=0' 'answer=0' |
        expect_output "the options and logging off while flashing" busy.txt
    sleep 63
    drive ask.txt --pid "$pid" - <<'SCRIPT' || fail "Exit after a minute of silence did not ask"
click 1
wait msgbox Advertencia
msgboxes
msgbox-no Advertencia
SCRIPT
    grep -qxF "msgbox caption=\"Advertencia\" text=\"$ask\"" ask.txt || fail "the question: $(cat ask.txt)"
    drive done.txt --pid "$pid" --timeout 30000 - <<'SCRIPT' || fail "the silent flashing run did not finish"
wait msgbox
msgboxes
msgbox-ok
wait no-msgbox
state 1008
SCRIPT
    grep -qF "caption=\"$SUCCESS_CAPTION\"" done.txt || fail "no success after the silence: $(cat done.txt)"
    grep -qxF 'visible=1 enabled=1' done.txt || fail "the options stay locked: $(cat done.txt)"

    printf 'record 1004 0 0 erasing 0x0 GSP3\nhang\n' >flash.txt
    drive click.txt --pid "$pid" click 1003 >/dev/null || fail "cannot press the update button again"
    flashing_starts || return
    sleep 63
    drive leave.txt --pid "$pid" - <<'SCRIPT' || fail "the close box after a minute of silence did not ask"
syscommand 0xF060
wait msgbox Advertencia
msgbox-yes Advertencia
SCRIPT
    wait_box "$FAILED_TEXT" || fail "no failure box after leaving: $(cat boxes.txt)"
    drive exit.txt --pid "$pid" - <<'SCRIPT' || fail "the updater did not close after the failure"
msgbox-ok
wait exit
SCRIPT
    for _ in $(seq 50); do utility_runs 'SiRFflashcl.* -l 47 ' || break; sleep 0.2; done
    utility_runs 'SiRFflashcl.* -l 47 ' && fail "the silent utility was not ended"
    check_cleaned_up "received.txt "
    rm -rf "$(temp_dir)"/Mirador-*
}



# utility_runs PATTERN: whether a process of this case's Wine prefix runs a command line matching
# PATTERN. Another test run on the machine (another prefix) may use the same port number.
utility_runs() {
    local p
    for p in $(pgrep -f "$1"); do
        tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
    done
    return 1
}
# wine_path FILE: the Windows name of a Linux file, through Wine's Z: drive (\ is octal 134).
wine_path() { printf 'Z:%s' "$1" | tr / '\134'; }
# flashing_starts: waits up to 30 s until the stand-in utility runs the flashing command line
# (on COM47: the other cases, in other prefixes, may run at the same time).
flashing_starts() {
    for _ in $(seq 120); do
        utility_runs '[Gg][Ss][Pp]3[Dd][Ee][Mm][Oo]\.[Ss]3 -l 47 ' && return 0
        sleep 0.25
    done
    fail "no flashing run started"
    return 1
}

# A database reaching 8 KiB past 0xEF000 with the user positions kept: the utility refuses it
# before anything is erased, the updater says so, and not one user position is lost.
case_userpos() {
    set_ports '\\Device\\Serial40=COM41'
    "$source_dir/demo/make-firmware.sh" fw 4096
    srec_cat -generate 0xEF000 0xF1000 -repeat-string "POI database too long " \
        -o - -Motorola -address-length=4 -disable=data-count -disable=header -disable=exec-start-address \
        -line-termination=crlf >fw/demo.DB0
    wine "$bindir/sfxpack.exe" pack --exe "$bindir/Mirador.exe" --out Mirador-long.exe --label "Base larga" \
        fw/GSP3demo.S3 fw/demo.DB0 "$bindir/SiRFflashcl.exe" "$bindir/chiplist.txt" "logo.bmp=$logo" \
        >pack.log 2>&1 || fail "cannot pack: $(cat pack.log)"
    sim rx 41 --chip GSP3 || return
    open_release Mirador-long.exe || return
    run_update
    grep -q '^msgbox caption="Mirador-long" text="error desconocido(36)\.The firmware holds data at 0x000F0000, in the user positions' update.txt ||
        fail "the utility's error box: $(cat update.txt)"
    drive close.txt --pid "$pid" msgbox-ok || fail "cannot close the utility's error box"
    wait_box "$FAILED_TEXT" || fail "no failure box: $(cat boxes.txt)"
    drive after.txt --pid "$pid" - <<'SCRIPT'
msgbox-ok
wait no-msgbox
SCRIPT
    grep -qF "$SUCCESS_CAPTION" update.txt boxes.txt && fail "success was reported"
    cmp -s rx.before.bin rx.bin || fail "the receiver was written"
    check_cleaned_up "123.bin "
    exit_updater
}

# The updater reads its own file whatever its name: plain, with a blank, with a letter the ANSI
# code page holds, with U+FF3F, which it holds only as the look-alike "_" (a release of that name
# beside it), and with a letter it cannot hold at all. Each shows its own label.
case_ownname() {
    release Mirador_1.40.exe --label "Otra version"
    local name n=0
    for name in Mirador-demo.exe "Mirador demo.exe" "$(printf 'Mirador-versi\xc3\xb3n.exe')" \
        "$(printf 'Mirador\xef\xbc\xbf1.40.exe')" "$(printf 'Mirador-\xd0\xb6.exe')"; do
        n=$((n + 1))
        # Packed under a plain name: sfxpack.exe takes its arguments in the ANSI code page.
        release plain.exe --label "Etiqueta $n"
        mv plain.exe "$name"
        shows_label "$name" "Etiqueta $n"
    done
}

# TEMP at a path with a blank: the utility is reached by short names and flashes the receiver.
case_tempblank() { update_with_temp "temp dir"; }
# TEMP at a path with a letter outside the ANSI code page (1252 here): taken by its short form.
case_tempansi() { update_with_temp "temp $(printf '\xd0\xb6')"; }

# update_with_temp FOLDER: the whole update with TEMP at C:\FOLDER.
update_with_temp() {
    set_ports '\\Device\\Serial40=COM41'
    release Mirador-demo.exe
    temp_unix="$WINEPREFIX/drive_c/$1"
    mkdir -p "$temp_unix"
    # Wine takes TEMP and TMP from the user's environment key; the prefix's own is put back after.
    local key='HKCU\Environment' old v
    old=$(wine reg query "$key" /v TEMP 2>/dev/null | tr -d '\r' | sed -n 's/^ *TEMP *REG_[A-Z_]* *//p')
    for v in TEMP TMP; do wine reg add "$key" /v "$v" /d "C:\\$1" /f >/dev/null 2>&1; done
    update_keeping_positions Mirador-demo.exe
    for v in TEMP TMP; do wine reg add "$key" /v "$v" /d "$old" /f >/dev/null 2>&1; done
    [ -n "$old" ] || fail "the prefix had no TEMP to put back"
}

# Files named like the payload's entries and the dump in the temporary directory are not the
# updater's: an update and its Exit leave them as they were.
case_untouched() {
    set_ports '\\Device\\Serial40=COM41'
    release Mirador-demo.exe
    sim rx 41 --chip GSP3 || return
    local t n
    t=$(temp_dir)
    for n in SiRFflashcl.exe chiplist.txt GSP3demo.S3 demo.DB0 123.bin logo.bmp; do echo "not the updater's" >"$t/$n"; done
    open_release Mirador-demo.exe || return
    run_update
    grep -qF "caption=\"$SUCCESS_CAPTION\"" update.txt || fail "no success: $(cat update.txt)"
    close_success_box
    drive exit.txt --pid "$pid" - <<'SCRIPT' || fail "Exit did not close the updater"
click 1
wait exit
SCRIPT
    for n in SiRFflashcl.exe chiplist.txt GSP3demo.S3 demo.DB0 123.bin logo.bmp; do
        [ "$(cat "$t/$n" 2>/dev/null)" = "not the updater's" ] || fail "$n in the temporary directory was changed"
    done
    check_cleaned_up "123.bin GSP3demo.S3 SiRFflashcl.exe chiplist.txt demo.DB0 logo.bmp "
    for n in SiRFflashcl.exe chiplist.txt GSP3demo.S3 demo.DB0 123.bin logo.bmp; do rm -f "$t/$n"; done
}

# Two updaters at once, two releases whose firmware files have the same names, two receivers:
# each flashes its own release's firmware with its own database.
case_two() {
    set_ports '\\Device\\Serial40=COM41' '\\Device\\Serial41=COM42'
    release Mirador-demo.exe
    release Mirador-small.exe --code-bytes 32768 --label "Firmware pequeno 1.40"
    sim rxa 41 --chip GSP3 --pace || return
    sim rxb 42 --chip GSP3 --pace || return
    open_release Mirador-demo.exe || return
    local pida=$pid pidb
    open_release Mirador-small.exe || return
    pidb=$pid
    drive select.txt --pid "$pidb" select 1001 1 || fail "cannot select COM42: $(cat select.txt)"
    drive click.txt --pid "$pida" click 1003 >/dev/null || fail "cannot press the first update button"
    sleep 1  # the first one probing, the second one unpacking
    drive click.txt --pid "$pidb" click 1003 >/dev/null || fail "cannot press the second update button"
    for pid in "$pida" "$pidb"; do
        drive "done-$pid.txt" --pid "$pid" --timeout 90000 - <<'SCRIPT' || fail "update $pid did not end"
wait msgbox
msgboxes
msgbox-ok
wait no-msgbox
SCRIPT
        grep -qF "caption=\"$SUCCESS_CAPTION\"" "done-$pid.txt" || fail "update $pid: $(cat "done-$pid.txt")"
    done
    sfxpack_extract Mirador-demo.exe payload
    merged_image payload GSP3demo.S3 merged.bin
    same_bytes "the first release's firmware" merged.bin rxa.bin 0 65536
    same_bytes "the first release's database" merged.bin rxa.bin $((0xE0000)) 4096
    sfxpack_extract Mirador-small.exe payload-small
    merged_image payload-small GSP3demo.S3 small.bin
    same_bytes "the second release's firmware" small.bin rxb.bin 0 32768
    same_bytes "the second release's database" small.bin rxb.bin $((0xE0000)) 4096
    for pid in "$pida" "$pidb"; do
        drive exit.txt --pid "$pid" - <<'SCRIPT' || fail "Exit did not close updater $pid"
click 1
wait exit
SCRIPT
    done
    check_cleaned_up ""
}

# gpsd_says PTY: what gpsd's gpsctl, run as a black box, identifies on the receiver's line.
gpsd_says() {
    stty -F "$1" 4800 raw -echo 2>/dev/null
    timeout 30 gpsctl -f "$1" 2>&1 | grep 'identified as' | tail -n 1
}

# gpsd names the factory firmware before the update and the new one after it.
case_gpsd() {
    set_ports '\\Device\\Serial40=COM41'
    release Mirador-demo.exe
    sim rx 41 --chip GSP3 || return
    local pty
    pty=$(head -n 1 rx.pty)
    local before after
    before=$(gpsd_says "$pty")
    [ "$before" = "$pty identified as a SiRF $FACTORY_VERSION at 4800 baud." ] || fail "gpsctl before: '$before'"
    open_release Mirador-demo.exe || return
    run_update
    grep -qF "caption=\"$SUCCESS_CAPTION\"" update.txt || fail "no success: $(cat update.txt)"
    close_success_box
    after=$(gpsd_says "$pty")
    [ "$after" = "$pty identified as a SiRF $GSP3_DEMO_VERSION at 4800 baud." ] || fail "gpsctl after: '$after'"
    echo "gpsctl before: $before"
    echo "gpsctl after:  $after"
    exit_updater
}

case "$case_name" in
keep | erase | ports | loopback | nofirmware | unplugged | redo | stalled | silentflash | signed | lookalike | userpos | ownname | \
    tempblank | tempansi | untouched | two | gpsd)
    "case_$case_name"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac
finish
