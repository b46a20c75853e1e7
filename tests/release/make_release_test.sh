#!/usr/bin/env bash
# The release script is all or nothing: every failure exits 1 and leaves the output folder as it
# was, an earlier release and its SHA256SUMS included; names it must refuse are refused.
#
#   make_release_test.sh WORKDIR BUILDDIR LOGO
#
# BUILDDIR: where the script builds the release programs (shared with the signed end-to-end case).
set -uo pipefail

work=$1
build=$2
logo=$3
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/make-release.sh
rm -rf "$work"
mkdir -p "$work/out"
cd "$work" || exit 1

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
make_release() { "$script" --build-dir "$build" --out out --label "Prueba 1.40" --logo "$logo" "$@" >log.txt 2>&1; }

printf 'S00600004844521B\r\nS70500000000FA\r\n' >fw.S3
if ! openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=Release test" \
    -addext "extendedKeyUsage=codeSigning" >openssl.log 2>&1 ||
    ! openssl req -x509 -newkey rsa:2048 -nodes -keyout other.pem -out other.pem -days 2 -subj "/CN=Other" \
        >>openssl.log 2>&1 ||
    ! openssl pkcs12 -export -inkey key.pem -in cert.pem -out vendor.p12 -passout pass:right >>openssl.log 2>&1; then
    echo "FAIL: openssl: $(cat openssl.log)"
    exit 1
fi
echo right >right.txt
echo wrong >wrong.txt

# The earlier release every failure below must leave as it is, beside a folder and a link named
# like releases (the link to a folder outside).
make_release fw.S3 || { echo "FAIL: the first release: $(cat log.txt)"; exit 1; }
cp fw.S3 out/fw.S3
mkdir -p out/Folder.exe elsewhere
ln -s ../elsewhere out/Link.exe
# Every name in the output folder and in the link's folder, links with their targets, and the
# bytes of every file.
state() {
    (cd out && find . -mindepth 1 -printf '%y %p %l\n' | LC_ALL=C sort && find . -type f -exec sha256sum {} + | LC_ALL=C sort)
    find elsewhere -printf '%y %p\n' | LC_ALL=C sort
}
state >before.state

# refused WHAT PATTERN ARGS...: exit 1, a line matching PATTERN, the output folder unchanged.
refused() {
    local what=$1 pattern=$2
    shift 2
    make_release "$@"
    local rc=$?
    [ "$rc" = 1 ] || fail "$what: exit $rc, expected 1: $(cat log.txt)"
    grep -q "$pattern" log.txt || fail "$what: no '$pattern' in: $(cat log.txt)"
    state | cmp -s - before.state || fail "$what: the output folder changed: $(state | diff before.state -)"
}
refused "a wrong password" "signing failed" --pkcs12 vendor.p12 --pass-file wrong.txt fw.S3
refused "a signature that does not verify" "does not verify" --pkcs12 vendor.p12 --pass-file right.txt --ca other.pem fw.S3
refused "the name of an input" "would replace its input" --name fw.S3 out/fw.S3
refused "a name starting with a dash" "must not start with a dash" --name -x.exe fw.S3
cp fw.S3 "fw 2.S3"
refused "an entry with a blank" "holds a blank" "fw 2.S3"
cp fw.S3 "$(printf 'fw\xf3.S3')"
refused "an entry with a byte of 0x80 or above" "outside printable ASCII" "$(printf 'fw\xf3.S3')"
refused "a folder named as the release" "is not a regular file" --name Folder.exe fw.S3
refused "a link named as the release" "is not a regular file" --name Link.exe fw.S3
grep -q '^Building' log.txt && fail "a link named as the release was refused only after building"

# SHA256SUMS lists every release of the folder: a second one adds its line, a release made again
# replaces only its own, and two made at once both keep theirs.
make_release --name Second.exe fw.S3 || fail "a second release: $(cat log.txt)"
make_release --label "Prueba 1.41" fw.S3 || fail "the first release again: $(cat log.txt)"
pids=()
for n in A B; do
    "$script" --build-dir "$build" --out out --name "$n.exe" --label "$n" --logo "$logo" fw.S3 >"log-$n.txt" 2>&1 &
    pids+=($!)
done
wait "${pids[0]}" || fail "the first of two at once: $(cat log-A.txt)"
wait "${pids[1]}" || fail "the second of two at once: $(cat log-B.txt)"
sed 's/^[0-9a-f]* *//' out/SHA256SUMS | LC_ALL=C sort | tr '\n' ' ' | grep -qx 'A.exe B.exe Mirador.exe Second.exe ' ||
    fail "SHA256SUMS: $(cat out/SHA256SUMS)"
(cd out && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match the releases"

rm -f key.pem vendor.p12
if [ "$failures" -ne 0 ]; then
    echo "$failures checks failed"
    exit 1
fi
echo "all release script checks passed"
