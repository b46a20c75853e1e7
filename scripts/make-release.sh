#!/usr/bin/env bash
# Makes a release for vendors: builds the 32-bit updater and flash utility (a release-only build
# in a folder of its own), packs the vendor's firmware, logo and label behind the updater,
# signs the release when given a certificate, verifies the signature, and writes the release
# and SHA256SUMS (a line for every release of the folder) into one output folder. All or
# nothing: the release is made in a scratch folder
# and moved into the output folder only when every step succeeded; on any failure the output
# folder stays as it was, an earlier release in it included.
#
#   scripts/make-release.sh --out DIR --label TEXT --logo BMP [options] FIRMWARE...
#
# FIRMWARE: S-record files and an optional database, as the updater expects them (README,
# "Making a release"). Options:
#   --name FILE.exe         name of the release (default Mirador.exe)
#   --language FILE         a language file to carry
#   --flash-utility EXE     the flash utility to carry (default: our SiRFflashcl.exe); with it
#   --chip-list FILE        its chip list (default: our chiplist.txt)
#   --pkcs12 FILE           sign with this PKCS#12 file (certificate and key), or
#   --cert FILE --key FILE  sign with this certificate (PEM or DER, with its chain) and key
#   --pass-file FILE        the password of the key or PKCS#12 file
#   --timestamp URL         have the signature time-stamped by this server
#   --ca FILE               verify against these root certificates (default: the system's)
#   --build-dir DIR         where to build (default build/release)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
usage() {
    sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//' >&2
    exit 2
}
die() {
    echo "make-release: $*" >&2
    exit 1
}

out="" label="" logo="" name="Mirador.exe" language="" utility="" chiplist=""
pkcs12="" cert="" key="" passfile="" timestamp="" ca="" build="$root/build/release"
have_label=0
firmware=()
while [ $# -gt 0 ]; do
    case $1 in
    --out | --label | --logo | --name | --language | --flash-utility | --chip-list | --pkcs12 | --cert | \
        --key | --pass-file | --timestamp | --ca | --build-dir)
        [ $# -ge 2 ] || usage
        case $1 in
        --out) out=$2 ;;
        --label) label=$2; have_label=1 ;;
        --logo) logo=$2 ;;
        --name) name=$2 ;;
        --language) language=$2 ;;
        --flash-utility) utility=$2 ;;
        --chip-list) chiplist=$2 ;;
        --pkcs12) pkcs12=$2 ;;
        --cert) cert=$2 ;;
        --key) key=$2 ;;
        --pass-file) passfile=$2 ;;
        --timestamp) timestamp=$2 ;;
        --ca) ca=$2 ;;
        --build-dir) build=$2 ;;
        esac
        shift 2 ;;
    -h | --help) usage ;;
    -*) usage ;;
    *) firmware+=("$1"); shift ;;
    esac
done
if [ -z "$out" ] || [ "$have_label" != 1 ] || [ -z "$logo" ] || [ ${#firmware[@]} -eq 0 ]; then usage; fi
case $name in
*/* | *\\*) die "--name is a file name, not a path: $name" ;;
-*) die "--name must not start with a dash: $name" ;;
"" | . | .. | SHA256SUMS) die "--name cannot be '$name'" ;;
esac
if { [ -n "$utility" ] && [ -z "$chiplist" ]; } || { [ -z "$utility" ] && [ -n "$chiplist" ]; }; then
    die "--flash-utility and --chip-list go together: a utility comes with its own chip list"
fi
if [ -n "$pkcs12" ] && { [ -n "$cert" ] || [ -n "$key" ]; }; then
    die "sign with either --pkcs12 or --cert and --key"
fi
if { [ -n "$cert" ] && [ -z "$key" ]; } || { [ -z "$cert" ] && [ -n "$key" ]; }; then
    die "--cert and --key go together"
fi
sign=0
[ -n "$pkcs12" ] || [ -n "$cert" ] && sign=1
for f in "${firmware[@]}" "$logo" ${language:+"$language"} ${utility:+"$utility"} ${chiplist:+"$chiplist"} \
    ${pkcs12:+"$pkcs12"} ${cert:+"$cert"} ${key:+"$key"} ${passfile:+"$passfile"} ${ca:+"$ca"}; do
    [ -f "$f" ] || die "no such file: $f"
done
# The release must never replace one of its own inputs.
for f in "${firmware[@]}" "$logo" ${language:+"$language"} ${utility:+"$utility"} ${chiplist:+"$chiplist"} \
    ${pkcs12:+"$pkcs12"} ${cert:+"$cert"} ${key:+"$key"} ${passfile:+"$passfile"} ${ca:+"$ca"}; do
    { [ "$out/$name" -ef "$f" ] || [ "$out/SHA256SUMS" -ef "$f" ]; } && die "the release would replace its input $f"
done
# The entries' names: the updater passes them on a command line, and a byte of 0x80 or above is
# a different letter in each code page.
for f in "${firmware[@]}" "$logo" ${language:+"$language"} ${chiplist:+"$chiplist"}; do
    entry=$(basename "$f")
    case $entry in *" "*) die "an entry's name holds a blank: $entry" ;; esac
    LC_ALL=C grep -q '[^ -~]' <<<"$entry" && die "an entry's name holds a byte outside printable ASCII: $entry"
done
# Only a regular file may be replaced: a folder would take the release inside it, a link would
# send it elsewhere.
not_a_file() { [ -L "$1" ] || { [ -e "$1" ] && [ ! -f "$1" ]; }; }
for f in "$out/$name" "$out/SHA256SUMS"; do
    not_a_file "$f" && die "$f is not a regular file (a folder, a link or a device); nothing written"
done
if [ "$sign" = 1 ] && ! command -v osslsigncode >/dev/null; then
    die "signing needs osslsigncode (Debian package osslsigncode)"
fi

# The release programs: i686, built without tests in a folder of their own (the preset
# "release"). The packer runs here, so it is built for this machine ("release-packer").
jobs=${JOBS:-$(nproc)}
# One build at a time in one build folder.
mkdir -p "$(dirname "$build")"
exec 8>"$build.lock"
flock 8
echo "Building the release programs ($build)..."
cmake -S "$root" --preset release -B "$build/i686" >"$build.configure.log" 2>&1 ||
    die "cannot configure the i686 build: see $build.configure.log"
cmake --build "$build/i686" -j "$jobs" --target Mirador SiRFflashcl >"$build.build.log" 2>&1 ||
    die "cannot build the i686 programs: see $build.build.log"
cmake -S "$root" --preset release-packer -B "$build/tools" >>"$build.configure.log" 2>&1 ||
    die "cannot configure the packer's build: see $build.configure.log"
cmake --build "$build/tools" -j "$jobs" --target sfxpack >>"$build.build.log" 2>&1 ||
    die "cannot build sfxpack: see $build.build.log"
exec 8>&-
bindir=$build/i686/bin

if [ -z "$utility" ]; then
    utility=$bindir/SiRFflashcl.exe
    chiplist=$bindir/chiplist.txt
    which_utility="ours: SiRFflashcl.exe built from this tree; it speaks the protocol of docs/protocol.md"
else
    which_utility="the one given: $utility; the updater runs it through the same command line and records"
fi

# Everything is made in a scratch folder inside the output folder (the same file system, so the
# final moves are renames), removed on every way out.
mkdir -p "$out" || die "cannot make the output folder $out"
scratch=$(mktemp -d "$out/.make-release.XXXXXX") || die "cannot write into $out"
trap 'rm -rf "$scratch"' EXIT
release=$out/$name
partial=$scratch/partial.exe
signed=$scratch/signed.exe

entries=("${firmware[@]}" "SiRFflashcl.exe=$utility" "$(basename "$chiplist")=$chiplist")
[ -n "$language" ] && entries+=("$language")
entries+=("$logo")
"$build/tools/bin/sfxpack" pack --exe "$bindir/Mirador.exe" --out "$partial" --label "$label" "${entries[@]}" ||
    die "packing failed"

if [ "$sign" = 1 ]; then
    signopts=(-h sha256 -n "${name%.exe}")
    if [ -n "$pkcs12" ]; then signopts+=(-pkcs12 "$pkcs12"); else signopts+=(-certs "$cert" -key "$key"); fi
    [ -n "$passfile" ] && signopts+=(-readpass "$passfile")
    [ -n "$timestamp" ] && signopts+=(-ts "$timestamp")
    osslsigncode sign "${signopts[@]}" -in "$partial" -out "$signed" >"$scratch/sign.log" 2>&1 ||
        { cat "$scratch/sign.log" >&2; die "signing failed; nothing written"; }
    verifyopts=()
    [ -n "$ca" ] && verifyopts+=(-CAfile "$ca")
    if ! osslsigncode verify "${verifyopts[@]}" -in "$signed" >"$scratch/verify.log" 2>&1; then
        cat "$scratch/verify.log" >&2
        die "the signed release does not verify; nothing written"
    fi
    made=$signed
    signature="signed and verified"
else
    made=$partial
    signature="not signed (give --pkcs12, or --cert and --key)"
fi
# One release at a time into one folder: each keeps the lines the others wrote.
exec 9<"$out"
flock 9
for f in "$release" "$out/SHA256SUMS"; do
    not_a_file "$f" && die "$f is not a regular file (a folder, a link or a device); nothing written"
done
# SHA256SUMS lists every release of the folder: this release's line replaces its old one, or
# is added; the new list is written beside the old one and renamed into place.
if ! { mkdir "$scratch/out" && mv "$made" "$scratch/out/$name" &&
    line=$(cd "$scratch/out" && sha256sum -- "$name") &&
    { [ ! -e "$out/SHA256SUMS" ] || cp -- "$out/SHA256SUMS" "$scratch/old.sums"; } && touch "$scratch/old.sums" &&
    LINE=$line awk '
        # A line names its file after the hash and two characters; "\" in front marks escapes.
        function key(l,  e) { e = ""; if (substr(l, 1, 1) == "\\") { e = "\\"; l = substr(l, 2) } return e substr(l, 67) }
        BEGIN { line = ENVIRON["LINE"]; k = key(line) }
        key($0) == k { if (!done) print line; done = 1; next }
        { print }
        END { if (!done) print line }' "$scratch/old.sums" >"$scratch/SHA256SUMS"; }; then
    die "cannot write the checksums; nothing written"
fi
# The release first, its checksums last: SHA256SUMS never names a release that is not there.
# No target directory: a folder or a link of the release's name is never followed.
if ! { mv -T -f "$scratch/out/$name" "$release" && mv -T -f "$scratch/SHA256SUMS" "$out/SHA256SUMS"; }; then
    die "cannot move the release into $out"
fi

echo "Release:        $release ($signature)"
echo "Label:          $label"
echo "Flash utility:  $which_utility"
echo "Chip list:      $(basename "$chiplist")"
"$build/tools/bin/sfxpack" list "$release" | sed 's/^/    /'
echo "Checksums:      $out/SHA256SUMS"
