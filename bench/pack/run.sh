#!/usr/bin/env bash
# Packing two 150,000,000-byte files (one compressible text, one random) into a 7z archive at level 5
# with BZip2: Plombar's writer over 7z.so against `7z a -t7z -m0=BZip2 -mx=5` on the same files in the
# same run, alternating, each writing a fresh archive. Reports the best wall time and the largest
# peak RSS of each side over three runs, and the ratios ours / 7z (targets: wall <= 1.05, RSS <= 1.1).
# On a shared machine wall times swing with the load of other processes; the CPU time (user + system,
# lowest of the runs, taken with GNU time when it is installed) shows whether either side does more work.
# Builds nothing: build the release preset first (targets bench-pack and plombar-measure).
# PLOMBAR_BUILD_DIR selects another build folder, BENCH_PACK_BYTES another file size.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${PLOMBAR_BUILD_DIR:-build/release}
bench=$(realpath -m "$build/bench/pack/bench-pack")
measure=$(realpath -m "$build/bench/plombar-measure")
bytes=${BENCH_PACK_BYTES:-150000000}
runs=${BENCH_PACK_RUNS:-3}

for tool in "$bench" "$measure"; do
    if [ ! -x "$tool" ]; then
        echo "missing $tool: build the release preset first" >&2
        exit 1
    fi
done
command -v 7z >/dev/null || { echo "the 7z command is missing (p7zip-full)" >&2; exit 1; }

work=$(mktemp -d /dev/shm/plombar-bench-pack.XXXXXX)
trap 'rm -rf "$work"' EXIT
"$bench" --text "$work/text.txt" "$bytes"
head -c "$bytes" /dev/urandom >"$work/random.bin"
echo "data: $bytes bytes of text and $bytes random bytes in $work"

q=$(printf '%q' "$work")
ours_cmd="cd $q && rm -f ours.7z && exec $(printf '%q' "$bench") ours.7z text.txt random.bin"
ref_cmd="cd $q && rm -f ref.7z && exec 7z a -t7z -m0=BZip2 -mx=5 ref.7z text.txt random.bin >/dev/null"

timer=()
if [ -x /usr/bin/time ]; then timer=(/usr/bin/time -f "%U %S" -o "$work/cpu.txt"); fi

results=$work/results.txt
: >"$results"
for _ in $(seq "$runs"); do
    for side in ours ref; do
        if [ $side = ours ]; then cmd=$ours_cmd; else cmd=$ref_cmd; fi
        line=$("$measure" "$side" -- "${timer[@]}" sh -c "$cmd")
        case "$line" in *exit=0) ;; *) echo "$line: $side failed" >&2; exit 1 ;; esac
        if [ -s "$work/cpu.txt" ]; then
            line="$line $(awk '{ printf "cpu_s=%.2f", $1 + $2 }' "$work/cpu.txt")"
        fi
        echo "  $line"
        echo "$line" >>"$results"
    done
done

# The archives must be alike: both test clean and hold the same packed bytes.
7z t "$work/ours.7z" >/dev/null
packed() { 7z l -slt "$1" | awk -F' = ' '$1 == "Packed Size" && $2 != "" { s += $2 } END { print s }'; }
echo "packed bytes: ours $(packed "$work/ours.7z"), 7z $(packed "$work/ref.7z")"

awk '
    { match($0, /wall_s=[0-9.]+/); w = substr($0, RSTART + 7, RLENGTH - 7) + 0
      match($0, /maxrss_mib=[0-9.]+/); r = substr($0, RSTART + 11, RLENGTH - 11) + 0
      if (!($1 in wall) || w < wall[$1]) wall[$1] = w
      if (r > rss[$1]) rss[$1] = r
      if (match($0, /cpu_s=[0-9.]+/)) { c = substr($0, RSTART + 6, RLENGTH - 6) + 0
          if (!($1 in cpu) || c < cpu[$1]) cpu[$1] = c } }
    END {
      printf "wall: ours %.2f s, 7z %.2f s, ratio %.3f (target <= 1.05)\n", wall["ours"], wall["ref"], wall["ours"] / wall["ref"]
      printf "peak RSS: ours %.1f MiB, 7z %.1f MiB, ratio %.3f (target <= 1.10)\n", rss["ours"], rss["ref"], rss["ours"] / rss["ref"]
      if (("ours" in cpu) && ("ref" in cpu))
          printf "CPU time: ours %.2f s, 7z %.2f s, ratio %.3f\n", cpu["ours"], cpu["ref"], cpu["ours"] / cpu["ref"]
    }' "$results"
