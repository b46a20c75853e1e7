#!/usr/bin/env bash
# The updater's window as a person sees and uses it, checked from outside under Xvfb and Wine
# with our UI driver.
#
#   window_test.sh CASE BINDIR LOGO WORKDIR PREFIX
#
# CASE: release (a release with the demo logo), bare (the program without payload, no serial
# ports), payloads (releases whose logo entry is unusable). BINDIR holds Mirador.exe,
# uidriver.exe and sfxpack.exe; LOGO is the demo logo; WORKDIR gets the releases, the driver's
# output and the screenshots; PREFIX is this test's Wine prefix, created on first use. COM port
# numbers 1 to 19 belong to these tests.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
case_name=$1
bindir=$(cd "$2" && pwd)
logo=$3
work=$4
export WINEPREFIX=$5

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

# shellcheck source=../support/wine-ui.sh
. "$here/../support/wine-ui.sh"
trap wineui_cleanup EXIT
start_display
start_wine

pack() {
    # pack OUT [--label TEXT] ENTRY...
    local out=$1
    shift
    wine "$bindir/sfxpack.exe" pack --exe "$bindir/Mirador.exe" --out "$out" "$@" >pack.log 2>&1 ||
        fail "sfxpack pack $out: $(tr -d '\r' <pack.log)"
}

# Takes screenshots until the logo is on the screen at the point the window computes for it,
# pixel for pixel, or TRIES (default 20, about two seconds) have been taken. Keeps the last one
# as SHOT.
logo_on_screen() {
    local shot=$1 tries=${2:-20} geometry x y w h lx ly ae
    geometry=$(cat geometry.txt)
    x=$(sed -n 's/.*x=\([-0-9]*\).*/\1/p' <<<"$geometry")
    y=$(sed -n 's/.* y=\([-0-9]*\).*/\1/p' <<<"$geometry")
    w=$(sed -n 's/.*width=\([0-9]*\).*/\1/p' <<<"$geometry")
    h=$(sed -n 's/.*height=\([0-9]*\).*/\1/p' <<<"$geometry")
    # The logo is centred in the client area, above its lowest 156 pixels (354 x 289 pixels).
    lx=$((x + w / 2 - 354 / 2))
    ly=$((y + (h - 156) / 2 - 289 / 2))
    for _ in $(seq "$tries"); do
        import -window root "$shot" 2>/dev/null
        convert "$shot" -crop "354x289+$lx+$ly" +repage crop.png 2>/dev/null
        ae=$(compare -metric AE crop.png "$logo" null: 2>&1)
        [ "$ae" = 0 ] && return 0
        sleep 0.1
    done
    echo "pixels differing from the logo at $lx,$ly: $ae"
    return 1
}

# What the driver's dump of the main window should print: the port list's text, the update
# information and whether "Update Program" is visible vary.
main_dialog_dump() {
    local port_text=$1 info=$2 label_visible=$3
    cat <<EOF
window caption="Actualizacion - Versi\\xF3n 1.40" visible=1 enabled=1
control id=1 class=Button visible=1 enabled=1 text="Salir(Exit)"
control id=-1 class=Static visible=1 enabled=1 text="Puerto COM:"
control id=1001 class=ComboBox visible=1 enabled=1 text="$port_text"
control id=1003 class=Button visible=1 enabled=1 text="Actualizar"
control id=1004 class=msctls_progress32 visible=0 enabled=1 text="Progress1"
control id=-1 class=Button visible=1 enabled=1 text=" Opciones de Usuario "
control id=1008 class=Button visible=1 enabled=1 checked=1 text="Mantener Posiciones de Usuario"
control id=1009 class=Button visible=1 enabled=1 checked=0 text="Borrar Posiciones de Usuario"
control id=1005 class=Static visible=1 enabled=1 text="$info"
control id=1006 class=Static visible=1 enabled=1 text=""
control id=1007 class=Static visible=$label_visible enabled=1 text="Update Program"
control id=-1 class=Button visible=1 enabled=1 text="Informacion de Actualizacion"
control id=-1 class=Static visible=1 enabled=1 text="Vel. Conexion:"
control id=1002 class=ComboBox visible=1 enabled=0 text=" 115200"
EOF
}

speed_rows() {
    cat <<'EOF'
combo id=1002 count=3 sel=2
row id=1002 index=0 text=" 38400"
row id=1002 index=1 text=" 57600"
row id=1002 index=2 text=" 115200"
EOF
}

# The icon's static holds the template's reference to icon 128 (0xFFFF 0x0080) as its text; the
# Common Controls 6 static keeps it as UTF-16, which reads back in the ANSI code page as "??".
about_box_dump() {
    cat <<'EOF'
window caption="Acerca de Mirador" visible=1 enabled=1
control id=65535 class=Static visible=1 enabled=1 text="??"
control id=65535 class=Static visible=1 enabled=1 text="Tavo flash"
control id=65535 class=Static visible=1 enabled=1 text="Mirador Versi\xF3n 1.40"
control id=1 class=Button visible=1 enabled=1 text="Aceptar"
control id=65535 class=Static visible=1 enabled=1 text="Receptores SiRF"
EOF
}

# ---------------------------------------------------------------------------------------------

case_release() {
    # Three ports, named so that the registry's order (by value name) is neither the order of
    # the port numbers nor of the texts.
    set_ports '\\Device\\Serial11=COM12' '\\Device\\Serial2=COM3' '\\Device\\Serial4=COM5'
    pack Mirador-demo.exe --label "Firmware GSP3 3.2.1 demo" "$logo"
    local tmp
    tmp=$(temp_dir)
    [ -n "$tmp" ] && rm -rf "$tmp/logo.bmp" "$tmp"/Mirador-*

    pid=$(start "Mirador-demo.exe") || { fail "cannot start the release"; return; }
    drive opened.txt --pid "$pid" - <<'EOF' || fail "the main window did not open"
wait window
dump
focus
EOF
    drive geometry.txt --pid "$pid" geometry || fail "no geometry"
    { echo "ok window"
      main_dialog_dump " COM12" "Firmware GSP3 3.2.1 demo" 0
      cat <<'EOF'
combo id=1001 count=3 sel=0
row id=1001 index=0 text=" COM12"
row id=1001 index=1 text=" COM3"
row id=1001 index=2 text=" COM5"
EOF
      speed_rows
      echo "focus id=1"
    } | expect_output "the release's window" opened.txt

    logo_on_screen "$work/../window-release.png" || fail "the logo is not on the screen where it belongs"
    tmp=$(temp_dir)
    # Into the updater's own folder there.
    [ -n "$(find "$tmp" -path '*/Mirador-*/logo.bmp')" ] || fail "the logo was not extracted into the temporary directory"

    # The About box on WM_SYSCOMMAND 0x10, owned by the main window, closed with its OK button.
    drive about.txt --pid "$pid" - <<'EOF' || fail "the About box did not behave"
syscommand 0x10
wait msgbox "Acerca de Mirador"
dump "Acerca de Mirador"
msgbox-ok "Acerca de Mirador"
wait no-msgbox
EOF
    { echo "ok msgbox"; about_box_dump; echo "ok no-msgbox"; } | expect_output "the About box" about.txt

    # Exit closes the window and deletes the extracted logo.
    drive exit.txt --pid "$pid" - <<'EOF' || fail "Exit did not close the window"
click 1
wait exit
EOF
    [ -f "$tmp/logo.bmp" ] && fail "Exit left the extracted logo in $tmp"
}

case_bare() {
    # No serial ports at all, and a program without payload.
    set_ports
    cp "$bindir/Mirador.exe" Mirador.exe
    pid=$(start "Mirador.exe") || { fail "cannot start the bare program"; return; }
    drive opened.txt --pid "$pid" - <<'EOF' || fail "the main window did not open"
wait window
dump
EOF
    drive geometry.txt --pid "$pid" geometry || fail "no geometry"
    { echo "ok window"
      main_dialog_dump "" "" 1
      echo "combo id=1001 count=0 sel=-1"
      speed_rows
    } | expect_output "the bare program's window" opened.txt
    logo_on_screen "$work/../window-bare.png" 3 && fail "a logo is shown without a payload"

    # Any system command from 0x11 to 0x1F opens the About box too; Escape then closes the
    # About box, and a second Escape the main window.
    drive keys.txt --pid "$pid" - <<'EOF' || fail "the About box or Escape did not behave"
syscommand 0x1F
wait msgbox "Acerca de Mirador"
key escape "Acerca de Mirador"
wait no-msgbox
wait window
key escape
wait exit
EOF
}

case_payloads() {
    set_ports '\\Device\\Serial6=COM7'
    # The entry before the label is not a bitmap: the label shows, the logo does not.
    printf 'S00600004844521B\r\nS70500000000FA\r\n' >firmware.s3
    pack Mirador-nologo.exe --label "Sin logo" firmware.s3
    pid=$(start "Mirador-nologo.exe") || { fail "cannot start the release without logo"; return; }
    drive nologo.txt --pid "$pid" - <<'EOF' || fail "the window without logo did not open or close"
wait window
text 1005
state 1007
combo 1001
syscommand 0xF060
wait exit
EOF
    cat <<'EOF' | expect_output "a release whose logo entry is not a bitmap" nologo.txt
ok window
"Sin logo"
visible=1 enabled=1
combo id=1001 count=1 sel=0
row id=1001 index=0 text=" COM7"
ok exit
EOF

    # A payload of one entry: it is the label, and there is no logo entry before it.
    cp "$logo" single.bmp
    pack Mirador-single.exe single.bmp
    pid=$(start "Mirador-single.exe") || { fail "cannot start the single-entry release"; return; }
    drive single.txt --pid "$pid" - <<'EOF' || fail "the single-entry window did not open or close"
wait window
text 1005
state 1007
focus
key enter
wait exit
EOF
    cat <<'EOF' | expect_output "a release of a single entry" single.txt
ok window
"single.bmp"
visible=1 enabled=1
focus id=1
ok exit
EOF
    local tmp
    tmp=$(temp_dir)
    [ -n "$tmp" ] && [ -n "$(find "$tmp" -name single.bmp)" ] && fail "a single entry was extracted as a logo"
}

case "$case_name" in
release) case_release ;;
bare) case_bare ;;
payloads) case_payloads ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

finish
