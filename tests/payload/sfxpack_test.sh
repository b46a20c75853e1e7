#!/usr/bin/env bash
# The release packer from the command line: round trip, listing format, refusals, exit codes.
# Usage: sfxpack_test.sh WORKDIR SFXPACK [RUNNER...]   (RUNNER: the Wine wrapper for sfxpack.exe)
set -uo pipefail
export LC_ALL=C  # names are bytes here, whatever the locale

work=$1
sfxpack=$2
shift 2
runner=("$@")

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Runs sfxpack; stdout to out.txt, stderr to err.txt (CR removed: Windows console line ends).
run() {
    "${runner[@]}" "$sfxpack" "$@" >out.raw 2>err.raw
    local rc=$?
    tr -d '\r' <out.raw >out.txt
    tr -d '\r' <err.raw >err.txt
    return $rc
}
expect_rc() {
    local want=$1 what=$2
    shift 2
    run "$@"
    local rc=$?
    [ "$rc" -eq "$want" ] || fail "$what: exit $rc, expected $want (stderr: $(cat err.txt))"
}
le32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }

# Inputs: a stand-in bare program and entries of assorted kinds.
head -c 70000 /dev/urandom >bare.exe
awk 'BEGIN { for (i = 0; i < 3000; i++) printf "S3150000%04X%s\r\n", i, "00112233445566778899AABBCCDDEEFF" }' >fw.s3
printf 'S70500000000FA\r\n' >>fw.s3
head -c 20000 /dev/urandom >tool.bin
printf 'GSP3 1048576 65536\n' >chips.txt
: >empty.txt

# Round trip.
expect_rc 0 "pack" pack --exe bare.exe --out release.exe --label "Version 1.40 demo" fw.s3 SiRFflashcl.exe=tool.bin chips.txt empty.txt
[ -s out.txt ] && fail "pack printed on stdout: $(cat out.txt)"
expect_rc 0 "list" list release.exe
[ -s err.txt ] && fail "list printed on stderr: $(cat err.txt)"
cut -f5 out.txt >names.txt
printf 'fw.s3\nSiRFflashcl.exe\nchips.txt\nempty.txt\nVersion 1.40 demo\n' | cmp -s - names.txt || fail "names: $(cat names.txt)"
cut -f1 out.txt | tr '\n' ' ' | grep -qx '0 1 2 3 4 ' || fail "indexes: $(cut -f1 out.txt | tr '\n' ' ')"
awk -F'\t' 'NF != 5 { bad = 1 } END { exit bad }' out.txt || fail "not five tab-separated fields: $(cat out.txt)"

# Streams back to back from the end of the bare program, each a zlib stream of the default level.
offset=$(stat -c %s bare.exe)
while IFS=$'\t' read -r idx off _ comp name; do
    [ "$off" -eq "$offset" ] || fail "entry $idx at $off, expected $offset"
    [ "$(od -An -tx1 -j "$off" -N2 release.exe | tr -d ' ')" = 789c ] || fail "entry $idx does not begin with 78 9C"
    offset=$((off + comp))
done <out.txt
[ "$(sed -n 5p out.txt | cut -f3,4)" = "$(printf '0\t8')" ] || fail "label entry: $(sed -n 5p out.txt)"
size=$(stat -c %s release.exe)
dirlen=$((size - offset))
names_total=$((5 + 15 + 9 + 9 + 17))
[ "$dirlen" -eq $((18 + 5 * 16 + names_total)) ] || fail "directory of $dirlen bytes right after the streams"
[ "$(le32 release.exe $((size - 18)))" -eq 5 ] || fail "count"
[ "$(tail -c 14 release.exe)" = '0.90!TAVO_SFX!' ] || fail "trailer"
cmp -s -n 70000 bare.exe release.exe || fail "bare program not kept byte for byte"

expect_rc 0 "extract" extract release.exe out/new
[ -s out.txt ] && fail "extract printed on stdout"
cmp -s fw.s3 out/new/fw.s3 || fail "fw.s3 differs after the round trip"
cmp -s tool.bin out/new/SiRFflashcl.exe || fail "tool differs"
cmp -s chips.txt out/new/chips.txt || fail "chips differ"
if [ ! -f out/new/empty.txt ] || [ -s out/new/empty.txt ]; then fail "empty entry"; fi
[ -e "out/new/Version 1.40 demo" ] && fail "the label was written as a file"

# A link in the target folder named like an entry is replaced, never written through: the file
# it points to, outside the folder, stays as it was.
mkdir -p out/linked
echo "not an entry" >outside.txt
ln -s ../../outside.txt out/linked/fw.s3
expect_rc 0 "extract over a link" extract release.exe out/linked
[ "$(cat outside.txt)" = "not an entry" ] || fail "extract wrote through a link"
{ [ ! -L out/linked/fw.s3 ] && cmp -s fw.s3 out/linked/fw.s3; } || fail "the link was not replaced by the entry"
[ "$(cd out/linked && find . -mindepth 1 -printf '%f\n' | sort | tr '\n' ' ')" = "SiRFflashcl.exe chips.txt empty.txt fw.s3 " ] ||
    fail "extract left other files: $(ls -A out/linked)"

# Two packs to one release at once: each writes a name of its own, so that the release there is
# whole and was written by a run that reported success.
head -c 3000000 /dev/urandom >a.bin
head -c 3000000 /dev/urandom >b.bin
expect_rc 0 "pack a" pack --exe bare.exe --out a.exe a.bin
expect_rc 0 "pack b" pack --exe bare.exe --out b.exe b.bin
rounds=30
[ ${#runner[@]} -eq 0 ] || rounds=8
for i in $(seq "$rounds"); do
    "${runner[@]}" "$sfxpack" pack --exe bare.exe --out both.exe a.bin >/dev/null 2>&1 &
    a=$!
    "${runner[@]}" "$sfxpack" pack --exe bare.exe --out both.exe b.bin >/dev/null 2>&1 &
    b=$!
    wait "$a"
    ra=$?
    wait "$b"
    rb=$?
    if ! { [ "$ra" = 0 ] && cmp -s a.exe both.exe; } && ! { [ "$rb" = 0 ] && cmp -s b.exe both.exe; }; then
        fail "two packs at once, round $i: exit $ra and $rb, and the release there is neither's"
        break
    fi
done
ls ./*.partial >/dev/null 2>&1 && fail "two packs at once left a partial file"

# Refusals: each exits 1 with one line on stderr naming the result code, and writes nothing.
refuse() {
    local code=$1 what=$2
    shift 2
    rm -f refused.exe
    expect_rc 1 "$what" "$@"
    [ "$(wc -l <err.txt)" -eq 1 ] || fail "$what: expected one line on stderr: $(cat err.txt)"
    grep -q "^sfxpack: .*($code)\$" err.txt || fail "$what: stderr '$(cat err.txt)' does not end with ($code)"
    [ -e refused.exe ] && fail "$what: left a file behind"
    ls ./*.partial >/dev/null 2>&1 && fail "$what: left a partial file"
}
refuse SFX_ERR_FORMAT "a bare program with a payload" pack --exe release.exe --out refused.exe chips.txt
refuse SFX_ERR_FORMAT "a name with a slash" pack --exe bare.exe --out refused.exe "a/b=chips.txt"
refuse SFX_ERR_FORMAT "a name with a colon" pack --exe bare.exe --out refused.exe "c:x=chips.txt"
refuse SFX_ERR_FORMAT "a name dot dot" pack --exe bare.exe --out refused.exe "..=chips.txt"
refuse SFX_ERR_FORMAT "a name twice" pack --exe bare.exe --out refused.exe chips.txt CHIPS.TXT=fw.s3
refuse SFX_ERR_FORMAT "an empty label" pack --exe bare.exe --out refused.exe --label "" chips.txt
# Names that Windows would not store as an ordinary file of the temporary directory, and names
# that would take the temporary path past Windows' limit. A byte of 0x80 or above reaches a
# Windows program's arguments changed, so that name is tried natively only.
high=$'Versi\xf3n.txt'
[ ${#runner[@]} -eq 0 ] || high=""
for name in CON nul prn.txt Aux.s3 COM3 com0.bmp LPT9 lpt1.s CONIN\$ conout\$.log "one.s." "one.s " \
    "a?b" "a*b" "a<b" "a>b" 'a"b' "a|b" 'a\b' $'tab\tname' "SIRFFL~1.EXE" "fw~2" ${high:+"$high"} \
    "$(printf '%0101d' 0)"; do
    refuse SFX_ERR_FORMAT "the name '$name'" pack --exe bare.exe --out refused.exe "$name=chips.txt"
    grep -q "not a valid entry name: " err.txt || fail "the name '$name': no reason given: $(cat err.txt)"
done
grep -q "longer than 100 bytes" err.txt || fail "a long name: $(cat err.txt)"
refuse SFX_ERR_FORMAT "names Windows takes for one file" pack --exe bare.exe --out refused.exe one.s=fw.s3 ONE.S=chips.txt
expect_rc 0 "a name of 100 bytes" pack --exe bare.exe --out long.exe "$(printf '%0100d' 0)=chips.txt"
expect_rc 0 "names close to device names" pack --exe bare.exe --out near.exe COM10=chips.txt console=chips.txt nul_=chips.txt "a~b=chips.txt" "v1.0~2=chips.txt"
# The label is free text: shown, never written; list escapes what could break its line or the terminal.
expect_rc 0 "a free-text label" pack --exe bare.exe --out free.exe --label $'Firmware GSP3 1.40? a/b:c\x\tend\033[31m\x7f' chips.txt
expect_rc 0 "list a free-text label" list free.exe
[ "$(sed -n 2p out.txt | cut -f5-)" = 'Firmware GSP3 1.40? a/b:c\x5Cx\x09end\x1B[31m\x7F' ] || fail "escaped label: $(sed -n 2p out.txt)"
awk -F'\t' 'NF != 5 { bad = 1 } END { exit bad }' out.txt || fail "escaped list not five fields: $(cat out.txt)"
expect_rc 0 "extract with a free-text label" extract free.exe out/free
[ "$(ls out/free)" = chips.txt ] || fail "extracting wrote more than the entry: $(ls out/free)"
refuse SFX_ERR_OPEN "a missing entry" pack --exe bare.exe --out refused.exe missing.txt
refuse SFX_ERR_OPEN "a missing bare program" pack --exe missing.exe --out refused.exe chips.txt
refuse SFX_ERR_WRITE "a release in a missing folder" pack --exe bare.exe --out missing/refused.exe chips.txt
entries=()
for i in $(seq 1 257); do entries+=("e$i=chips.txt"); done
refuse SFX_ERR_FORMAT "257 entries" pack --exe bare.exe --out refused.exe "${entries[@]}"
refuse SFX_ERR_FORMAT "listing a program without payload" list bare.exe
refuse SFX_ERR_OPEN "listing a missing file" list missing.exe
refuse SFX_ERR_FORMAT "extracting a program without payload" extract bare.exe out/none
# A folder or a device where a file is expected: one line, never an abort or an endless read.
mkdir -p folder
refuse SFX_ERR_OPEN "a folder as the bare program" pack --exe folder --out refused.exe chips.txt
refuse SFX_ERR_OPEN "a folder as an entry" pack --exe bare.exe --out refused.exe folder
if [ ${#runner[@]} -eq 0 ]; then
    refuse SFX_ERR_OPEN "a device as an entry" pack --exe bare.exe --out refused.exe zero=/dev/zero
else
    refuse SFX_ERR_OPEN "a device as an entry" pack --exe bare.exe --out refused.exe device.bin=NUL
fi

# A failed pack leaves an existing release as it was.
cp release.exe keep.exe
expect_rc 1 "failed pack over a release" pack --exe bare.exe --out keep.exe missing.txt
cmp -s release.exe keep.exe || fail "a failed pack changed the existing release"

# 256 entries are allowed.
expect_rc 0 "256 entries" pack --exe bare.exe --out many.exe "${entries[@]:0:256}"
expect_rc 0 "list 256" list many.exe
[ "$(wc -l <out.txt)" -eq 256 ] || fail "256 entries listed as $(wc -l <out.txt)"

# Usage errors exit 2 with the usage text; --help prints it and succeeds.
for args in "" "pack" "pack --exe bare.exe" "list" "list a b" "extract release.exe" "frobnicate x" "pack --exe bare.exe --out r.exe --bogus x"; do
    # shellcheck disable=SC2086
    expect_rc 2 "usage '$args'" $args
    grep -q '^usage: sfxpack pack' err.txt || fail "usage '$args': no usage text"
done
expect_rc 0 "--help" --help
grep -q '^usage: sfxpack pack' out.txt || fail "--help prints no usage"

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "sfxpack: all checks passed"
