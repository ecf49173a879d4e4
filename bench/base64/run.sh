#!/usr/bin/env bash
# Base64 throughput of Plombar's codec against coreutils base64 on the same random data in /dev/shm.
# Coreutils reads the file from /dev/shm and writes to /dev/null, its fastest case, which ours meets
# with a sink that only counts (the target: ratio >= 1); and to a file in /dev/shm, which like ours
# writing into fresh memory has to hold the whole output in new pages. Figures are MB/s of raw data
# (10^6 bytes), best of three runs each; ratio = ours / coreutils.
# Builds nothing: build the release preset first (targets bench-base64 and plombar-measure).
# PLOMBAR_BUILD_DIR selects another build folder, BENCH_BASE64_BYTES another data size.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${PLOMBAR_BUILD_DIR:-build/release}
bench=$build/bench/base64/bench-base64
measure=$build/bench/plombar-measure
bytes=${BENCH_BASE64_BYTES:-300000000}
runs=3

for tool in "$bench" "$measure"; do
    if [ ! -x "$tool" ]; then
        echo "missing $tool: build the release preset first" >&2
        exit 1
    fi
done

work=$(mktemp -d /dev/shm/plombar-bench-base64.XXXXXX)
trap 'rm -rf "$work"' EXIT
head -c "$bytes" /dev/urandom >"$work/data.bin"
base64 -w 76 "$work/data.bin" >"$work/data.b64"

# Best wall time of $runs runs of a shell command line, measured by plombar-measure.
best_wall() {
    local label=$1 line best=""
    shift
    for _ in $(seq "$runs"); do
        line=$("$measure" "$label" -- sh -c "$1")
        echo "  $line" >&2
        best=$(awk -v line="$line" -v best="$best" 'BEGIN {
            match(line, /wall_s=[0-9.]+/); w = substr(line, RSTART + 7, RLENGTH - 7) + 0
            print (best == "" || w < best + 0) ? w : best }')
    done
    echo "$best"
}

echo "data: $bytes random bytes in $work"
ours=$("$bench" --data "$work/data.bin" --repeat "$runs")
echo "$ours" | sed 's/^/  ours: /'
field() { echo "$ours" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
if [ "$(field roundtrip)" != ok ]; then
    echo "round trip through our codec did not give the data back" >&2
    exit 1
fi
ours_encode=$(field encode_mbps)
ours_decode=$(field decode_mbps)
memory_encode=$(field memory_encode_mbps)
memory_decode=$(field memory_decode_mbps)

q=$(printf '%q' "$work")
null_encode_s=$(best_wall coreutils-encode-null "base64 -w 76 $q/data.bin >/dev/null")
null_decode_s=$(best_wall coreutils-decode-null "base64 -d $q/data.b64 >/dev/null")
shm_encode_s=$(best_wall coreutils-encode-shm "base64 -w 76 $q/data.bin >$q/out")
shm_decode_s=$(best_wall coreutils-decode-shm "base64 -d $q/data.b64 >$q/out")

awk -v n="$bytes" -v oe="$ours_encode" -v od="$ours_decode" -v me="$memory_encode" -v md="$memory_decode" \
    -v ne="$null_encode_s" -v nd="$null_decode_s" -v se="$shm_encode_s" -v sd="$shm_decode_s" 'BEGIN {
    format = "%s: ours %.1f MB/s, coreutils to /dev/null %.1f MB/s, ratio %.2f; " \
             "ours into memory %.1f MB/s, coreutils to /dev/shm %.1f MB/s, ratio %.2f\n"
    printf format, "encode", oe, n / 1e6 / ne, oe / (n / 1e6 / ne), me, n / 1e6 / se, me / (n / 1e6 / se)
    printf format, "decode", od, n / 1e6 / nd, od / (n / 1e6 / nd), md, n / 1e6 / sd, md / (n / 1e6 / sd)
}'
