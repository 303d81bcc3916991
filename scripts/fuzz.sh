#!/usr/bin/env bash
# Builds the libFuzzer targets (the "fuzz" preset: clang, ASan + UBSan) and runs each for the
# fixed number of runs in fuzz/runs.txt, two at a time, starting from its seed corpus in
# fuzz/corpus/<target>/ (read only; what a run finds goes to build/fuzz/corpus/<target>/ and is
# reused by the next run). A crash, a leak, a sanitizer report or a time-out fails the run; the
# input that caused it is left as build/fuzz/artifacts/<target>-crash-* (or -leak-, -timeout-),
# and the target's log as build/fuzz/logs/<target>.log.
#   scripts/fuzz.sh                 every target
#   scripts/fuzz.sh fuzz_path ...   only these
# Reproduce a failure: build/fuzz/fuzz/<target> build/fuzz/artifacts/<file>
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/fuzz
cmake --preset fuzz >/dev/null
nice -n 10 cmake --build --preset fuzz -j"$(nproc)" --target fuzz_targets

declare -A runs
while read -r name count; do
    case "$name" in ''|'#'*) continue ;; esac
    runs[$name]=$count
done < fuzz/runs.txt

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for src in fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
mkdir -p "$build/artifacts" "$build/logs"
for t in "${targets[@]}"; do
    if [ -z "${runs[$t]:-}" ]; then
        echo "fuzz: $t has no entry in fuzz/runs.txt" >&2
        exit 2
    fi
done

# One target: its own writable corpus first (libFuzzer adds new inputs to the first folder).
run_one() {
    local t=$1 start end
    mkdir -p "$build/corpus/$t"
    start=$(date +%s)
    if "$build/fuzz/$t" -runs="${runs[$t]}" -seed=1 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" "fuzz/corpus/$t" >"$build/logs/$t.log" 2>&1; then
        end=$(date +%s)
        printf 'fuzz: %-20s %8s runs  ok  (%ss, %s)\n' "$t" "${runs[$t]}" $((end - start)) \
            "$(grep -o 'cov: [0-9]*' "$build/logs/$t.log" | tail -1)"
    else
        echo "fuzz: $t FAILED; log: $build/logs/$t.log; reproducer: $(ls "$build/artifacts/$t-"* 2>/dev/null | tr '\n' ' ')"
        grep -m1 -E 'ERROR|SUMMARY|runtime error' "$build/logs/$t.log" || tail -5 "$build/logs/$t.log"
        return 1
    fi
}

# Two at a time: the machine has two cores. Each failure leaves a mark in the status folder.
status="$build/status"
rm -rf "$status"
mkdir -p "$status"
begin=$(date +%s)
for t in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
    ( run_one "$t" || touch "$status/$t" ) &
done
wait
echo "fuzz: ${#targets[@]} targets in $(( $(date +%s) - begin ))s"
if [ -n "$(ls "$status")" ]; then
    echo "fuzz: failed: $(ls "$status" | tr '\n' ' ')" >&2
    exit 1
fi
