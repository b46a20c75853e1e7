#!/usr/bin/env bash
# A release signed after packing, as a vendor signs it (osslsigncode, a certificate and key made
# here with openssl, never kept): the signature verifies, the payload reads as before signing,
# damage to the signature breaks it but not the payload, a security directory pointing outside
# the file is refused cleanly, and sfxpack refuses to pack onto a program already signed.
# Packing the same inputs twice gives the same bytes.
#
#   signing_test.sh WORKDIR BINDIR [RUNNER]
#
# BINDIR holds Mirador.exe, SiRFflashcl.exe, chiplist.txt and sfxpack (or sfxpack.exe, run
# through RUNNER, e.g. tests/support/wine-run.sh).
set -uo pipefail

work=$1
bindir=$(cd "$2" && pwd)
runner=${3:-}
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
ok() { echo "ok: $*"; }

if [ -x "$bindir/sfxpack" ]; then
    sfxpack=("$bindir/sfxpack")
else
    sfxpack=(${runner:+"$runner"} "$bindir/sfxpack.exe")
fi

# le32 FILE OFFSET: the little-endian 32-bit number at OFFSET.
le32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
# put_le32 FILE OFFSET VALUE
put_le32() {
    printf '%b' "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($3 & 255)) $(($3 >> 8 & 255)) $(($3 >> 16 & 255)) $(($3 >> 24 & 255)))" |
        dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# security_entry FILE: the offset of the PE security directory entry (PE32 or PE32+).
security_entry() {
    local pe magic
    pe=$(le32 "$1" 60)
    magic=$(od -An -tu2 -j $((pe + 24)) -N2 "$1" | tr -d ' ')
    if [ "$magic" = 523 ]; then echo $((pe + 24 + 112 + 32)); else echo $((pe + 24 + 96 + 32)); fi
}

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
    -subj "/CN=Updater test vendor" -addext "extendedKeyUsage=codeSigning" >openssl.log 2>&1 ||
    { echo "FAIL: openssl cannot make a certificate: $(cat openssl.log)"; exit 1; }

printf 'S00600004844521B\r\nS70500000000FA\r\n' >fw.s
entries=(fw.s "$bindir/SiRFflashcl.exe" "$bindir/chiplist.txt")
"${sfxpack[@]}" pack --exe "$bindir/Mirador.exe" --out plain.exe --label "Firmware firmado 1.40" "${entries[@]}" ||
    { echo "FAIL: cannot pack"; exit 1; }
"${sfxpack[@]}" pack --exe "$bindir/Mirador.exe" --out again.exe --label "Firmware firmado 1.40" "${entries[@]}"
if cmp -s plain.exe again.exe; then
    ok "packing twice gives the same release"
else
    fail "two packs of the same inputs differ"
fi

osslsigncode sign -certs cert.pem -key key.pem -n "Updater test" -in plain.exe -out signed.exe >sign.log 2>&1 ||
    { echo "FAIL: osslsigncode sign: $(cat sign.log)"; exit 1; }
if osslsigncode verify -CAfile cert.pem -in signed.exe >verify.log 2>&1 && grep -q 'Signature verification: ok' verify.log; then
    ok "the signed release verifies against the test certificate"
else
    fail "the signed release does not verify: $(cat verify.log)"
fi
table=$(le32 signed.exe "$(security_entry signed.exe)")
size=$(stat -c %s signed.exe)
echo "plain release $(stat -c %s plain.exe) bytes, certificate table at $table, signed release $size bytes"

"${sfxpack[@]}" list plain.exe >plain.list 2>&1 || fail "list of the unsigned release: $(cat plain.list)"
if "${sfxpack[@]}" list signed.exe >signed.list 2>&1 && cmp -s plain.list signed.list; then
    ok "sfxpack list of the signed release equals the unsigned one's"
else
    fail "sfxpack list of the signed release: $(cat signed.list)"
fi
"${sfxpack[@]}" extract plain.exe plain-out >/dev/null 2>&1
if "${sfxpack[@]}" extract signed.exe signed-out >extract.log 2>&1 && diff -r plain-out signed-out >/dev/null; then
    ok "the signed release extracts the same files"
else
    fail "extracting the signed release: $(cat extract.log)"
fi

# One byte of the certificate table changed, well inside the signature.
cp signed.exe damaged.exe
at=$((table + (size - table) / 2))
byte=$(od -An -tu1 -j "$at" -N1 damaged.exe | tr -d ' ')
printf '%b' "$(printf '\\x%02x' $((byte ^ 0xFF)))" | dd of=damaged.exe bs=1 seek="$at" conv=notrunc status=none
if osslsigncode verify -CAfile cert.pem -in damaged.exe >damaged-verify.log 2>&1; then
    fail "a damaged signature still verifies"
else
    ok "a damaged signature fails verification"
fi
"${sfxpack[@]}" list damaged.exe >damaged.list 2>&1
if cmp -s plain.list damaged.list; then
    ok "the damaged release still reads its payload"
else
    fail "the damaged release does not read its payload: $(cat damaged.list)"
fi

# Security directories that point outside the file: refused as no payload, nothing read there.
entry=$(security_entry signed.exe)
for bad in "$table 2147483647" "$((size + 8)) 8" "4294967288 16"; do
    read -r bad_offset bad_size <<<"$bad"
    cp signed.exe outside.exe
    put_le32 outside.exe "$entry" "$bad_offset"
    put_le32 outside.exe $((entry + 4)) "$bad_size"
    "${sfxpack[@]}" list outside.exe >outside.out 2>outside.err
    code=$?
    if [ "$code" = 1 ] && grep -q 'no payload found (SFX_ERR_FORMAT)' outside.err && [ ! -s outside.out ]; then
        ok "certificate table at $bad_offset of $bad_size bytes: refused"
    else
        fail "certificate table at $bad_offset of $bad_size bytes: exit $code, $(cat outside.out outside.err)"
    fi
done

# Packing onto a program that is already signed would break its signature.
osslsigncode sign -certs cert.pem -key key.pem -in "$bindir/Mirador.exe" -out signed-bare.exe >sign-bare.log 2>&1 ||
    fail "cannot sign the bare program: $(cat sign-bare.log)"
"${sfxpack[@]}" pack --exe signed-bare.exe --out refused.exe --label x fw.s >refused.out 2>refused.err
code=$?
lines=$(tr -d '\r' <refused.err | grep -c .)
if [ "$code" = 1 ] && [ "$lines" = 1 ] && grep -q 'is signed' refused.err && [ ! -e refused.exe ]; then
    ok "packing onto a signed program is refused: $(tr -d '\r' <refused.err)"
else
    fail "packing onto a signed program: exit $code, $lines lines: $(cat refused.err)"
fi

rm -f key.pem
if [ "$failures" -ne 0 ]; then
    echo "$failures checks failed"
    exit 1
fi
echo "all signing checks passed"
