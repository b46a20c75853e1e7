#!/usr/bin/env bash
# Makes demo firmware for a release: one S-record image per chip family and a database, with
# srecord's srec_cat. Each image is S3 records with CR LF line ends, ending with the record
# "S70500000000FA", as the updater expects of the firmware it merges a database into.
#
#   demo/make-firmware.sh OUTDIR [CODE_BYTES]
#
# Writes into OUTDIR:
#   GSP3demo.S3     firmware for GSP3 receivers          (code at 0x00000), GSW3.5.0_3.5.00.00-SDK-3EP2.01
#   GSP2edemo.S2X   firmware for GSP2e/LPx receivers     (code at 0x00000), GSW2.5.0_2.5.00.00-DEMO1.00
#   SiRFdemo.S2     firmware for any other SiRF receiver (code at 0x00000), GSW3.2.4_3.1.00.12-SDK003P1.00a
#   single.S        one firmware for a release without database,          GSW3.5.0_3.5.00.00-SDK-3EP2.01
# Each image ends, right after its code, with its software version string and a NUL, as a real
# firmware carries it: a receiver names it in its normal mode, and one whose firmware was cut
# short has none.
#   demo.DB0        the database, 4 KiB at 0xE0000
# The last 64 KiB sector (0xF0000 to 0xFFFFF) holds the receiver's user positions: nothing
# written here reaches it, so "keep the user positions" keeps them.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 OUTDIR [CODE_BYTES]" >&2
    exit 2
fi
out=$1
size=${2:-65536}
if [ "$size" -le 0 ] || [ "$size" -gt $((0xE0000 - 0x40)) ]; then
    echo "$0: CODE_BYTES must lie between 1 and $((0xE0000 - 0x40))" >&2
    exit 2
fi
mkdir -p "$out"

# Code of a family: its name and version, then bytes that compress no better than machine code
# does (random, so each run makes other images: compare against the release's own files).
make_image() {
    local family=$1 file=$2 version=$3
    local -a bytes
    read -r -a bytes <<<"$(printf '%s' "$version" | od -An -v -tu1 | tr -s ' \n' ' ')"
    srec_cat \
        -generate 0x0 0x40 -repeat-string "SiRF $family demo firmware 1.40 " \
        -generate 0x40 "$size" -random \
        -generate "$size" $((size + ${#bytes[@]} + 1)) -repeat-data "${bytes[@]}" 0 \
        -execution-start-address=0 \
        -o "$file" -Motorola -address-length=4 -disable=data-count -line-termination=crlf \
        -header "$family demo"
}

make_image GSP3 "$out/GSP3demo.S3" GSW3.5.0_3.5.00.00-SDK-3EP2.01
make_image GSP2e/LPx "$out/GSP2edemo.S2X" GSW2.5.0_2.5.00.00-DEMO1.00
make_image SiRF "$out/SiRFdemo.S2" GSW3.2.4_3.1.00.12-SDK003P1.00a
make_image single "$out/single.S" GSW3.5.0_3.5.00.00-SDK-3EP2.01

# The database: S3 records only, without header or terminator: the updater copies it in front
# of the firmware's final S7 record as it stands.
srec_cat -generate 0xE0000 0xE1000 -repeat-string "POI database demo 2026 " \
    -o - -Motorola -address-length=4 -disable=data-count -disable=header -disable=exec-start-address \
    -line-termination=crlf >"$out/demo.DB0"

for f in GSP3demo.S3 GSP2edemo.S2X SiRFdemo.S2 single.S; do
    if [ "$(tail -c 16 "$out/$f" | od -An -c | tr -d ' \n')" != 'S70500000000FA\r\n' ]; then
        echo "$0: $f does not end with the S7 record" >&2
        exit 1
    fi
done
