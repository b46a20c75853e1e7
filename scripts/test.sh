#!/usr/bin/env bash
# Builds and runs every test: native (Linux); the native unit tests again under sanitizers; the
# 32-bit Windows build, whose programs a release carries, with every test under Wine; the 64-bit
# build with its unit programs under Wine; a second build of the release programs elsewhere that
# must give the same bytes; and a short fuzzing run. Installs missing Debian packages first.
#
#   scripts/test.sh            everything
#   JOBS=4 scripts/test.sh     more parallel jobs (default: the number of cores)
#   FUZZ_SECONDS=0 ...         skip the fuzzing smoke run
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-40}
status=0

step() { printf '\n=== %s\n' "$*"; }

# Formatting before anything builds: every tracked C++ file as .clang-format lays it out. The
# layout is that of Debian 12's clang-format 14; another version may lay out a few lines otherwise.
step "format: every C++ file as .clang-format lays it out"
clang_format=$(command -v clang-format-14 || command -v clang-format) || {
    echo "clang-format is missing: run scripts/install-deps.sh" >&2
    exit 1
}
cxx_files=()
while IFS= read -r f; do
    [ -f "$f" ] && cxx_files+=("$f")  # not a file deleted and not yet committed
done < <(git ls-files '*.cpp' '*.h')
if ! format_report=$("$clang_format" --dry-run --Werror "${cxx_files[@]}" 2>&1); then
    echo "These files differ from .clang-format:" >&2
    printf '%s\n' "$format_report" | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error: .*/    \1/p' | sort -u >&2
    echo "Fix them with: git ls-files '*.cpp' '*.h' | xargs $(basename "$clang_format") -i" >&2
    step "FAILED"
    exit 1
fi
echo "${#cxx_files[@]} files formatted as .clang-format asks"

step "native: build and test"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
ctest --preset native -j "$jobs" || status=1

# The same unit tests built with AddressSanitizer and UndefinedBehaviorSanitizer: the GoogleTest
# programs only (label native), not the command-line and shell tests.
step "sanitize: native unit tests with ASan and UBSan"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs" || status=1

step "win64: build and unit programs under Wine"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs"
ctest --preset win64 -j "$jobs" || status=1
# Stop the test prefix's Wine server rather than leave it to its idle timeout.
WINEPREFIX="$PWD/build/win64/wineprefix" wineserver -k 2>/dev/null || true

step "win32 (the release programs): build and every test under Wine"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
ctest --preset win32 -j "$jobs" || status=1
WINEPREFIX="$PWD/build/win32/wineprefix" wineserver -k 2>/dev/null || true

step "reproducible: the release programs built again from a copy of the tree"
./scripts/check-reproducible.sh build/win32/bin || status=1

if [ "$fuzz_seconds" != 0 ]; then
    step "fuzz: smoke run of ${fuzz_seconds}s in all"
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz -j "$jobs" --target fuzzers
    ./tests/fuzz/run-fuzzers.sh build/fuzz "$fuzz_seconds" || status=1
fi

if [ "$status" -ne 0 ]; then
    step "FAILED"
else
    step "all tests passed"
fi
exit "$status"
