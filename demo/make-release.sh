#!/usr/bin/env bash
# Packs a demo release: the bare updater with demo firmware, our flash utility, its chip list, a
# language file, the demo logo and a label, in the order a shipped release has them.
#
#   demo/make-release.sh [--single] [--code-bytes N] [--label TEXT] BINDIR LOGO OUT.exe
#
# BINDIR holds Mirador.exe, SiRFflashcl.exe and chiplist.txt (a win32 build's bin/). The packer
# is $SFXPACK when set, else BINDIR/sfxpack (Linux), else BINDIR/sfxpack.exe under Wine.
# Default: one firmware per chip family (GSP3, GSP2e/LPx, other) and a database to merge.
# --single: one firmware for every chip, without database. --code-bytes: size of each
# firmware's code (default 65536).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
single=0
code_bytes=65536
label="Firmware SiRF demo 1.40"
while [ $# -gt 0 ]; do
    case $1 in
    --single) single=1; shift ;;
    --code-bytes) code_bytes=$2; shift 2 ;;
    --label) label=$2; shift 2 ;;
    -*) echo "usage: $0 [--single] [--code-bytes N] [--label TEXT] BINDIR LOGO OUT.exe" >&2; exit 2 ;;
    *) break ;;
    esac
done
if [ $# -ne 3 ]; then
    echo "usage: $0 [--single] [--code-bytes N] [--label TEXT] BINDIR LOGO OUT.exe" >&2
    exit 2
fi
bindir=$(cd "$1" && pwd)
logo=$2
out=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$here/make-firmware.sh" "$work" "$code_bytes"
cat >"$work/language.ini" <<'INI'
[es]
titulo=Actualizacion
puerto=Puerto COM:
velocidad=Vel. Conexion:
mantener=Mantener Posiciones de Usuario
borrar=Borrar Posiciones de Usuario
INI

if [ "$single" = 1 ]; then
    firmware=("$work/single.S")
else
    firmware=("$work/GSP3demo.S3" "$work/GSP2edemo.S2X" "$work/SiRFdemo.S2" "$work/demo.DB0")
fi

if [ -n "${SFXPACK:-}" ]; then
    read -r -a sfxpack <<<"$SFXPACK"
elif [ -x "$bindir/sfxpack" ]; then
    sfxpack=("$bindir/sfxpack")
else
    sfxpack=(wine "$bindir/sfxpack.exe")
fi
"${sfxpack[@]}" pack --exe "$bindir/Mirador.exe" --out "$out" --label "$label" \
    "${firmware[@]}" "$bindir/SiRFflashcl.exe" "$bindir/chiplist.txt" "$work/language.ini" \
    "tavo_logo_demo.bmp=$logo"
