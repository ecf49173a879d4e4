#!/usr/bin/env bash
# Runs the libFuzzer targets for MINUTES minutes each and prints, per target, the executions,
# executions per second, peak memory and what was found (crash-, leak-, timeout-, oom- files).
#
#   bench/fuzz/run.sh MINUTES [TARGET...]      (targets: base64 verify decrypt certificate store name)
#
# Builds build/fuzz with the "fuzz" preset (clang, ASan + UBSan + libFuzzer) when needed. Each run
# starts from the committed seeds (fuzz/corpus/<target>, read only) and collects what it adds in a
# results folder. Two targets run at a time (PLOMBAR_FUZZ_JOBS), each limited to 2 GiB of memory,
# and an input that takes longer than PLOMBAR_FUZZ_TIMEOUT seconds (default 30) counts as a hang.
# A finding is replayed with: build/fuzz/fuzz/plombar-fuzz-<target> <file>; add it to the corpus as
# fuzz/corpus/<target>/finding-<what> once fixed. Exit status 1 when anything was found.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
minutes=${1:?usage: bench/fuzz/run.sh MINUTES [TARGET...]}
shift
seconds=$(awk -v m="$minutes" 'BEGIN { if (m + 0 <= 0) exit 1; printf "%d", m * 60 }') ||
    { echo "MINUTES must be a positive number" >&2; exit 2; }
targets=("$@")
((${#targets[@]})) || targets=(base64 verify decrypt certificate store name)
build=${PLOMBAR_FUZZ_BUILD:-$root/build/fuzz}
jobs=${PLOMBAR_FUZZ_JOBS:-2}
timeout=${PLOMBAR_FUZZ_TIMEOUT:-30}
results=${PLOMBAR_FUZZ_RESULTS:-$build/fuzz-results/$(date +%Y%m%d-%H%M%S)}

if [[ ! -f $build/CMakeCache.txt ]]; then
    (cd "$root" && cmake --preset fuzz -B "$build" > /dev/null)
fi
cmake --build "$build" -j2 --target plombar-fuzz > /dev/null

runTarget() {
    local target=$1 dir=$results/$1
    mkdir -p "$dir/corpus" "$dir/artifacts"
    # The GOST engine's own leak (tests/lsan.supp) must not count as ours. OpenSSL fills its caches
    # for a while, which makes libFuzzer scan the heap for leaks after many inputs; a quarantine of
    # 32 MiB (instead of 256) still holds the frees of thousands of inputs and makes each scan cheap.
    env LC_ALL=C.UTF-8 \
        LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0" \
        ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1:quarantine_size_mb=32" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$build/fuzz/plombar-fuzz-$target" -max_total_time="$seconds" -rss_limit_mb=2048 \
        -timeout="$timeout" -print_final_stats=1 -artifact_prefix="$dir/artifacts/" \
        "$dir/corpus" "$root/fuzz/corpus/$target" > "$dir/log" 2>&1 || true
}

echo "fuzzing ${targets[*]} for $minutes min each, $jobs at a time; logs in $results"
for target in "${targets[@]}"; do
    while (($(jobs -rp | wc -l) >= jobs)); do wait -n || true; done
    runTarget "$target" &
done
wait

stat() { sed -n "s/^stat::$2: *//p" "$1" | tail -1; }
found=0
printf '\n%-12s %12s %8s %9s %8s  %s\n' target executions exec/s "peak MiB" "new" findings
for target in "${targets[@]}"; do
    dir=$results/$target
    findings=$(cd "$dir/artifacts" && ls -1 2>/dev/null | tr '\n' ' ')
    # A sanitizer report or a failed check without an artifact (it should not happen) still counts.
    if [[ -z $findings ]] && grep -qE '^==[0-9]+==ERROR|runtime error:|FUZZ CHECK FAILED' "$dir/log"; then
        findings="see $dir/log"
    fi
    [[ -n $findings ]] && found=1
    printf '%-12s %12s %8s %9s %8s  %s\n' "$target" "$(stat "$dir/log" number_of_executed_units)" \
        "$(stat "$dir/log" average_exec_per_sec)" "$(stat "$dir/log" peak_rss_mb)" \
        "$(ls "$dir/corpus" | wc -l)" "${findings:-none}"
done
exit $found
