#!/usr/bin/env bash
# Checks that the release programs are reproducible: builds Mirador.exe and SiRFflashcl.exe
# (the preset "release", as scripts/make-release.sh builds them) from a copy of this tree at
# another path, in another build folder, without the compiler cache, and compares them byte for
# byte with those of an earlier build.
#
#   scripts/check-reproducible.sh [BINDIR]
#
# BINDIR holds the programs to compare with (default build/win32/bin: the test build, which
# compiles the release programs with the same options). Works in build/repro/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
reference=$(cd "${1:-$root/build/win32/bin}" && pwd)
programs=(Mirador.exe SiRFflashcl.exe)
for p in "${programs[@]}"; do
    [ -f "$reference/$p" ] || { echo "check-reproducible: no $reference/$p: build it first" >&2; exit 1; }
done

work=$root/build/repro
rm -rf "$work"
mkdir -p "$work/other-source"
# The tree as it is checked out, with changes not yet committed, without build folders.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$root" ls-files -z --cached --others --exclude-standard |
        grep -zv '^build/' | (cd "$root" && tar --null -T - -cf -) | tar -xf - -C "$work/other-source"
else
    tar -C "$root" --exclude=./build -cf - . | tar -xf - -C "$work/other-source"
fi

export CCACHE_DISABLE=1
cmake -S "$work/other-source" --preset release -B "$work/other-build" \
    -DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER= >"$work/configure.log" 2>&1 ||
    { echo "check-reproducible: cannot configure: see $work/configure.log" >&2; exit 1; }
cmake --build "$work/other-build" -j "${JOBS:-$(nproc)}" --target "${programs[@]%.exe}" >"$work/build.log" 2>&1 ||
    { echo "check-reproducible: cannot build: see $work/build.log" >&2; exit 1; }

status=0
for p in "${programs[@]}"; do
    if cmp -s "$reference/$p" "$work/other-build/bin/$p"; then
        echo "reproducible: $p ($(sha256sum <"$reference/$p" | cut -c1-16)...) built again from $work/other-source"
    else
        echo "NOT reproducible: $p differs between $reference and $work/other-build/bin"
        cmp "$reference/$p" "$work/other-build/bin/$p" | head -1 || true
        status=1
    fi
done
exit "$status"
