#!/usr/bin/env bash
# The release programs start on a plain Windows 7 to 11: each imports only from DLLs that
# Windows ships (allowed-imports.txt), no function Windows 7 lacks (newer-than-windows-7.txt),
# and asks for no Windows newer than 7 in its headers.
#
#   imports_test.sh OBJDUMP PROGRAM...
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
objdump=$1
shift
allowed=$(grep -v '^#' "$here/allowed-imports.txt" | tr '[:upper:]' '[:lower:]')
newer=$(grep -v '^#' "$here/newer-than-windows-7.txt")
status=0

for program in "$@"; do
    name=$(basename "$program")
    if ! headers=$("$objdump" -p "$program" 2>&1); then
        echo "FAIL $name: cannot read its headers: $headers"
        status=1
        continue
    fi
    dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
    if [ -z "$dlls" ]; then
        echo "FAIL $name: no import table found"
        status=1
    fi
    echo "$name imports: $(tr '\n' ' ' <<<"$dlls")"
    while read -r dll; do
        [ -n "$dll" ] || continue
        if ! grep -qxF "$(tr '[:upper:]' '[:lower:]' <<<"$dll")" <<<"$allowed"; then
            echo "FAIL $name imports $dll, which is not on the allow-list"
            status=1
        fi
    done <<<"$dlls"
    # Imported functions are the lines "vma hint name" inside the import tables.
    functions=$(awk '/^[[:space:]]*DLL Name:/ {in_dll = 1; next}
                     in_dll && NF == 0 {in_dll = 0}
                     in_dll && $1 ~ /^[0-9a-f]+$/ && NF >= 3 {print $3}' <<<"$headers")
    while read -r fn; do
        [ -n "$fn" ] || continue
        if grep -qxF "$fn" <<<"$functions"; then
            echo "FAIL $name imports $fn, which Windows 7 does not have"
            status=1
        fi
    done <<<"$newer"
    for field in MajorOSystemVersion MajorSubsystemVersion; do
        major=$(awk -v f="$field" '$1 == f {print $2}' <<<"$headers")
        minor=$(awk -v f="${field/Major/Minor}" '$1 == f {print $2}' <<<"$headers")
        if [ -z "$major" ] || [ $((major * 100 + minor)) -gt 601 ]; then
            echo "FAIL $name: $field $major.$minor asks for a Windows newer than 7"
            status=1
        fi
    done
done
[ "$status" = 0 ] && echo "imports of $# programs: only Windows DLLs, nothing newer than Windows 7"
exit "$status"
