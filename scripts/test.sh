#!/usr/bin/env bash
# Builds and runs every test, in stages: the formatting of the C++ files and the checks of the
# shell scripts; native (Linux); the native unit tests again under sanitizers; the 64-bit Windows
# build with its unit programs under Wine; the 32-bit build, whose programs a release carries,
# with every test under Wine; a second build of the release programs elsewhere that must give
# the same bytes; and a short fuzzing run. Installs missing Debian packages first. The last line
# says which steps failed.
#
#   scripts/test.sh            every stage
#   scripts/test.sh STAGE      one stage: format, native, sanitize, win64, win32, reproducible, fuzz
#   JOBS=4 scripts/test.sh     more parallel jobs (default: the number of cores)
#   FUZZ_SECONDS=0 ...         skip the fuzzing smoke run
set -euo pipefail
cd "$(dirname "$0")/.."

stages=(format native sanitize win64 win32 reproducible fuzz)
if [ $# -gt 1 ] || { [ $# -eq 1 ] && ! printf '%s\n' "${stages[@]}" | grep -qxF -- "$1"; }; then
    echo "usage: scripts/test.sh [STAGE]    STAGE: ${stages[*]}" >&2
    exit 2
fi
[ $# -eq 1 ] && stages=("$1")

./scripts/install-deps.sh

jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-40}
failed=()

step() { printf '\n=== %s\n' "$*"; }

# The last line: the steps that failed, or that all passed.
report() {
    if [ ${#failed[@]} -ne 0 ]; then
        local list
        printf -v list '%s, ' "${failed[@]}"
        step "FAILED: ${list%, }"
        exit 1
    fi
    if [ ${#stages[@]} -eq 1 ]; then
        step "${stages[0]}: passed"
    else
        step "all tests passed"
    fi
    exit 0
}

# build PRESET [TARGET...]: configures and builds; a build that fails ends the run.
build() {
    local preset=$1 targets=()
    shift
    [ $# -eq 0 ] || targets=(--target "$@")
    if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs" "${targets[@]}"; then
        failed+=("$preset build")
        report
    fi
}

# Formatting before anything builds: every tracked C++ file as .clang-format lays it out. The
# layout is that of Debian 12's clang-format 14; another version may lay out a few lines otherwise.
check_cxx_format() {
    local clang_format cxx_files=() format_report f
    clang_format=$(command -v clang-format-14 || command -v clang-format) || {
        echo "clang-format is missing: run scripts/install-deps.sh" >&2
        return 1
    }
    while IFS= read -r f; do
        [ -f "$f" ] && cxx_files+=("$f")  # not a file deleted and not yet committed
    done < <(git ls-files '*.cpp' '*.h')
    if ! format_report=$("$clang_format" --dry-run --Werror "${cxx_files[@]}" 2>&1); then
        echo "These files differ from .clang-format:" >&2
        printf '%s\n' "$format_report" | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error: .*/    \1/p' | sort -u >&2
        echo "Fix them with: git ls-files '*.cpp' '*.h' | xargs $(basename "$clang_format") -i" >&2
        return 1
    fi
    echo "${#cxx_files[@]} files formatted as .clang-format asks"
}

# Checks every tracked shell script (known by its name or, without an extension, by its first
# line) with shellcheck and the settings of .shellcheckrc.
check_shell_scripts() {
    local scripts=() f first
    command -v shellcheck >/dev/null || {
        echo "shellcheck is missing: run scripts/install-deps.sh" >&2
        return 1
    }
    while IFS= read -r f; do
        [ -f "$f" ] || continue
        case "${f##*/}" in
            *.sh) ;;
            *.*) continue ;;
            *)
                first=""
                IFS= read -r first <"$f" || true
                [[ "$first" =~ ^#!.*[/\ ](ba)?sh$ ]] || continue
                ;;
        esac
        scripts+=("$f")
    done < <(git ls-files)
    shellcheck -f gcc "${scripts[@]}" || return 1
    echo "${#scripts[@]} shell scripts without a shellcheck finding"
}

stage_format() {
    step "format: every C++ file as .clang-format lays it out, every shell script as shellcheck likes it"
    local status=0
    check_cxx_format || { failed+=("format (C++)"); status=1; }
    check_shell_scripts || { failed+=("format (shell scripts)"); status=1; }
    # Nothing builds while the formatting is off.
    [ "$status" -eq 0 ] || report
}

stage_native() {
    step "native: build and test"
    build native
    ctest --preset native -j "$jobs" || failed+=("native tests")
}

# The same unit tests built with AddressSanitizer and UndefinedBehaviorSanitizer: the GoogleTest
# programs only (label native), not the command-line and shell tests.
stage_sanitize() {
    step "sanitize: native unit tests with ASan and UBSan"
    build sanitize
    ctest --preset sanitize -j "$jobs" || failed+=("sanitize tests")
}

stage_win64() {
    step "win64: build and unit programs under Wine"
    build win64
    ctest --preset win64 -j "$jobs" || failed+=("win64 tests")
    # Stop the test prefix's Wine server rather than leave it to its idle timeout.
    WINEPREFIX="$PWD/build/win64/wineprefix" wineserver -k 2>/dev/null || true
}

stage_win32() {
    step "win32 (the release programs): build and every test under Wine"
    build win32
    # One slot more than the cores: the two cases that wait out a minute of silence mostly sleep,
    # and would otherwise hold a slot that the end-to-end cases, one at a time, could use.
    ctest --preset win32 -j "$((jobs + 1))" || failed+=("win32 tests")
    WINEPREFIX="$PWD/build/win32/wineprefix" wineserver -k 2>/dev/null || true
}

stage_reproducible() {
    step "reproducible: the release programs built again from a copy of the tree"
    build win32 Mirador SiRFflashcl  # nothing to do after the win32 stage
    ./scripts/check-reproducible.sh build/win32/bin || failed+=("reproducible")
}

stage_fuzz() {
    if [ "$fuzz_seconds" = 0 ]; then
        step "fuzz: skipped (FUZZ_SECONDS=0)"
        return 0
    fi
    step "fuzz: smoke run of ${fuzz_seconds}s in all"
    build fuzz fuzzers
    ./tests/fuzz/run-fuzzers.sh build/fuzz "$fuzz_seconds" || failed+=("fuzz")
}

for stage in "${stages[@]}"; do
    "stage_$stage"
done
report
