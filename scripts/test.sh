#!/usr/bin/env bash
# Builds and runs every test, in stages: the formatting of the C++ files and the checks of the
# shell scripts; native (Linux); the native unit tests again under sanitizers; the 64-bit Windows
# build with its unit programs under Wine; the 32-bit build, whose programs a release carries,
# with every test under Wine; a second build of the release programs elsewhere that must give
# the same bytes; and a short fuzzing run. Installs missing Debian packages first.
#
# The 32-bit Windows tests mostly wait (on Wine, on the emulated line, on a minute of silence),
# so in a whole run they run in the background right after their build, while the other stages
# build and test beside them at a lower priority. Each stage's output goes to
# build/test-logs/STAGE.log and is printed when the stage fails; the run ends with a table of
# the stages' times, and the last line says which steps failed.
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
logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
failed=()
table=()      # one row per stage: name, wall clock, processor time, what became of it
background="" # the process of the 32-bit Windows tests while they run beside the other stages
lower=()      # the command prefix that lowers the stages' priority beside them
lower_wine=() # the same for Wine programs, which the idle class can starve at their start
retry=()      # ctest options for the Wine tests while the two kinds run side by side
background_cpu=0

step() { printf '\n=== %s\n' "$*"; }

trap '[ -z "$background" ] || kill -TERM -- "-$background" 2>/dev/null; exit 130' INT TERM

# The 32-bit Windows tests' process, once it has ended: their result and time.
finish_background() {
    [ -n "$background" ] || return 0
    local status=1 seconds=0 used=0
    while [ ! -s "$logs/win32-tests.status" ] && kill -0 -- "-$background" 2>/dev/null; do
        sleep 1
    done
    read -r status seconds used <"$logs/win32-tests.status" || true
    background=""
    lower=()
    lower_wine=()
    retry=()
    background_cpu=$used
    show_stage "win32 tests" "$logs/win32-tests.log" "$status" "$seconds" "$used" "(beside the stages after its build)"
    [ "$status" -eq 0 ] || failed+=("win32 tests")
}

# The last lines: the table of times, then the steps that failed, or that all passed.
report() {
    finish_background
    cpu_now
    cpu=$((cpu + background_cpu))
    step "stage times: wall clock, and the processor time (user and system) of all the stage ran"
    printf '    %-16s %6s %6s  %s\n' "${table[@]}"
    printf '    %-16s %6s %6s\n' "total" "$(clock "$SECONDS")" "$(clock "$cpu")"
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

clock() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }

# cpu: the processor time, in seconds, of every process this run started and waited for so far;
# on a machine shared with other work, the measure of a stage's cost that does not depend on it.
cpu=0
cpu_now() {
    local user system file=$logs/times.$BASHPID
    times >"$file"
    { read -r _ _ && read -r user system; } <"$file"
    rm -f "$file"
    cpu=$(($(seconds_of "$user") + $(seconds_of "$system")))
}
seconds_of() { # 1m2.345s
    local t=${1%s}
    local whole=${t#*m}
    echo $((${t%%m*} * 60 + 10#${whole%%.*}))
}

# show_stage NAME LOG STATUS SECONDS CPU [NOTE]: a stage's one line and its ctest summaries; its
# whole log when it failed.
show_stage() {
    local name=$1 log=$2 status=$3 seconds=$4 used=$5 note=${6:-}
    local result=passed
    [ "$status" -eq 0 ] || result=FAILED
    table+=("$name" "$(clock "$seconds")" "$(clock "$used")" "$result${note:+ $note}")
    if [ "$status" -ne 0 ]; then
        step "$name: FAILED after $(clock "$seconds"); its log ($log):"
        cat "$log"
    else
        step "$name: passed in $(clock "$seconds")"
        grep -E '^[0-9]+% tests passed|^reproducible|files formatted|shellcheck finding' "$log" | sed 's/^/    /' || true
    fi
}

# run_stage NAME: runs stage_NAME with its output in its log. A stage whose build failed (status
# 2) ends the run: what comes after needs it.
run_stage() {
    local name=$1 start=$SECONDS status=0 before=${#failed[@]} used
    step "${name//_/ }..."
    cpu_now
    used=$cpu
    "stage_$name" >"$logs/$name.log" 2>&1 </dev/null || status=$?
    cpu_now
    [ "$status" -eq 0 ] && [ ${#failed[@]} -ne "$before" ] && status=1
    show_stage "${name//_/ }" "$logs/$name.log" "$status" $((SECONDS - start)) $((cpu - used))
    [ "$status" -ne 2 ] || report
}

# build PRESET [TARGET...]: configures and builds; status 2 when it fails.
build() {
    local preset=$1 targets=()
    shift
    [ $# -eq 0 ] || targets=(--target "$@")
    if ! cmake --preset "$preset" >/dev/null || ! "${lower[@]}" cmake --build --preset "$preset" -j "$jobs" "${targets[@]}"; then
        failed+=("$preset build")
        return 2
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

# Every C++ file as .clang-format lays it out, every shell script as shellcheck likes it.
stage_format() {
    local status=0
    check_cxx_format || { failed+=("format (C++)"); status=2; }
    check_shell_scripts || { failed+=("format (shell scripts)"); status=2; }
    # Nothing builds while the formatting is off.
    return "$status"
}

stage_native() {
    build native || return 2
    "${lower[@]}" ctest --preset native -j "$jobs" || failed+=("native tests")
}

# The same unit tests built with AddressSanitizer and UndefinedBehaviorSanitizer: the GoogleTest
# programs and what they run (label native), not the command-line and shell tests.
stage_sanitize() {
    build sanitize test_programs || return 2
    "${lower[@]}" ctest --preset sanitize -j "$jobs" || failed+=("sanitize tests")
}

# The 64-bit build of what its unit programs test, and those programs under Wine.
stage_win64() {
    build win64 test_programs || return 2
    "${lower_wine[@]}" ctest --preset win64 -j "$jobs" "${retry[@]}" || failed+=("win64 tests")
    # Stop the test prefix's Wine server rather than leave it to its idle timeout.
    WINEPREFIX="$PWD/build/win64/wineprefix" wineserver -k 2>/dev/null || true
}

# One slot more than the cores: the two cases that wait out a minute of silence mostly sleep,
# and would otherwise hold a slot that the end-to-end cases, one at a time, could use.
win32_tests() {
    ctest --preset win32 -j "$((jobs + 1))" "${retry[@]}"
    local status=$?
    WINEPREFIX="$PWD/build/win32/wineprefix" wineserver -k 2>/dev/null || true
    return "$status"
}

# The 32-bit build (the release programs) and every test under Wine.
stage_win32() {
    build win32 || return 2
    win32_tests || failed+=("win32 tests")
}

# In a whole run: the 32-bit build, then its tests in the background.
stage_win32_build() {
    build win32 || return 2
    local start=$SECONDS
    # Side by side, a Wine case may still miss the updater's 6 s watchdog for want of the
    # processor at a program's start: such a case runs once more, and ctest says so.
    retry=(--repeat until-pass:2)
    # A process group of its own, so that an interrupted run stops the tests and all they started;
    # started from a subshell that ends at once, so that their processor time, which they report
    # themselves, is not counted again in the stage that runs when they end.
    set -m
    (
        (
            status=0
            win32_tests >"$logs/win32-tests.log" 2>&1 </dev/null || status=$?
            cpu_now
            echo "$status $((SECONDS - start)) $cpu" >"$logs/win32-tests.status.new"
            mv "$logs/win32-tests.status.new" "$logs/win32-tests.status"
        ) &
    ) &
    background=$!
    set +m
    wait "$background" || true
    # SCHED_IDLE, not just a nice value: beside a sanitizer build niced only, an end-to-end
    # case's utility once never reached its port before the updater's 6 s watchdog. The Windows
    # tests mostly wait, so the stages still get nearly all of the processor, and of the disk.
    lower=(chrt --idle 0 ionice -c 3 nice -n 10)
    lower_wine=(nice -n 10)
    echo "the 32-bit Windows tests run in the background: $logs/win32-tests.log"
}

stage_reproducible() {
    # Built by the win32 stage; alone, this stage builds them (without touching the build the
    # background tests run from).
    [ -n "$background" ] || build win32 Mirador SiRFflashcl || return 2
    "${lower[@]}" ./scripts/check-reproducible.sh build/win32/bin || failed+=("reproducible")
}

stage_fuzz() {
    if [ "$fuzz_seconds" = 0 ]; then
        echo "skipped (FUZZ_SECONDS=0)"
        return 0
    fi
    echo "smoke run of ${fuzz_seconds}s in all"
    build fuzz fuzzers || return 2
    "${lower[@]}" ./tests/fuzz/run-fuzzers.sh build/fuzz "$fuzz_seconds" || failed+=("fuzz")
}

if [ ${#stages[@]} -eq 1 ]; then
    run_stage "${stages[0]}"
else
    run_stage format
    run_stage win32_build
    for stage in native sanitize win64 reproducible fuzz; do
        run_stage "$stage"
    done
fi
report
