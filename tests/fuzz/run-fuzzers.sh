#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a share of a time budget (as many at once as
# there are cores), beginning with the starting inputs in tests/fuzz/seeds/<target>/ and keeping
# what it finds in BUILD/corpus/<target>/.
#   run-fuzzers.sh BUILD_DIR TOTAL_SECONDS
set -euo pipefail
build=$1
total=$2
seeds=$(cd "$(dirname "$0")" && pwd)/seeds

mapfile -t targets < <(find "$build/bin" -maxdepth 1 -type f -name '*_fuzz' -perm -u+x | sort)
if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz targets in $build/bin" >&2
    exit 1
fi
share=$((total / ${#targets[@]}))
[ "$share" -ge 5 ] || share=5

# fuzz TARGET: one target for its share, its last lines when it fails, its statistics when not.
fuzz() {
    local t=$1 name corpus extra=()
    name=$(basename "$t")
    corpus="$build/corpus/$name"
    mkdir -p "$corpus"
    [ -d "$seeds/$name" ] && extra+=("$seeds/$name")
    echo "--- $name: ${share}s"
    if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$t" -max_total_time="$share" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/" "$corpus" "${extra[@]}" >"$build/$name.log" 2>&1; then
        tail -40 "$build/$name.log"
        return 1
    fi
    grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$build/$name.log" || true
}

# As many targets at a time as there are cores (FUZZ_JOBS): each gets its share of time all
# the same; the reports follow in the targets' order.
parallel=${FUZZ_JOBS:-$(nproc)}
reports=()
for t in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do
        wait -n || true
    done
    reports+=("$build/$(basename "$t").report")
    { fuzz "$t" || echo "FAILED: $t"; } >"${reports[-1]}" 2>&1 &
done
wait
cat "${reports[@]}"
! grep -q '^FAILED: ' "${reports[@]}"
