#!/usr/bin/env bash
# Signing a 300,000,000-byte file detached with a GOST R 34.10-2012 256-bit key and packing it with its
# signature into a 7z archive (BZip2, level 5): `plombar-cli sign --7z` (the window's operation with
# "Упаковать файлы 7zip" ticked) against the two commands a user would otherwise run,
# `openssl cms -sign -binary -noattr -engine gost` and then `7z a -t7z -m0=BZip2 -mx=5` of the pair,
# in the same run, alternating, each writing fresh outputs from the same input (hard links).
# Target: wall <= 1.05 x the two commands together. The machine is shared: every run is printed, the
# best wall time counts, and the CPU time (user + system, lowest of the runs, GNU time) shows whether
# either side does more work whatever the load of other processes.
#   PLOMBAR_BUILD   build folder (default build/release; targets plombar-cli and plombar-measure)
#   ROUNDS          measured rounds (default 3)
#   BENCH_BYTES     input size (default 300000000)
#   BENCH_DIR       where the files go (default /dev/shm, so that the disk is not measured)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${PLOMBAR_BUILD:-build/release}
ROUNDS=${ROUNDS:-3}
SIZE=${BENCH_BYTES:-300000000}
MEASURE=$(realpath -m "$BUILD/bench/plombar-measure")
CLI=$(realpath -m "$BUILD/tools/plombar-cli")
for tool in "$MEASURE" "$CLI"; do
    [ -x "$tool" ] || { echo "missing $tool: cmake --build $BUILD --target plombar-cli plombar-measure" >&2; exit 2; }
done
command -v 7z >/dev/null || { echo "the 7z command is missing (p7zip-full)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "GNU time is missing (/usr/bin/time, package time)" >&2; exit 2; }

WORK=$(mktemp -d "${BENCH_DIR:-/dev/shm}/plombar-bench-sign-pack.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export XDG_DATA_HOME=$WORK/data
unset CRYPT_PARAMS GOST_PBE_HMAC GOST_PK_FORMAT

mkdir "$WORK/ours" "$WORK/ref"
head -c "$SIZE" /dev/urandom >"$WORK/ours/input.bin"
ln "$WORK/ours/input.bin" "$WORK/ref/input.bin"
"$CLI" store new-test-cert --alg 2012-256 --subject "CN=Замер упаковки" >"$WORK/made.txt"
THUMB=$(sed -n 's/^Создан тестовый сертификат \([0-9a-f]\{40\}\)$/\1/p' "$WORK/made.txt")
"$CLI" store export "$THUMB" --pem --out "$WORK/cert.pem" >/dev/null
KEY=$XDG_DATA_HOME/plombar/stores/MY/$THUMB.key
echo "data: $SIZE random bytes in $WORK; $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"

q() { printf '%q' "$1"; }
ours_cmd="cd $(q "$WORK/ours") && exec $(q "$CLI") sign input.bin --thumbprint $THUMB --7z >/dev/null"
ref_cmd="cd $(q "$WORK/ref") && openssl cms -sign -binary -noattr -engine gost -in input.bin \
-signer $(q "$WORK/cert.pem") -inkey $(q "$KEY") -outform DER -out input.bin.sig 2>/dev/null && \
exec 7z a -t7z -m0=BZip2 -mx=5 input.bin.sig.7z input.bin input.bin.sig >/dev/null"

results=$WORK/results.txt
: >"$results"
for round in $(seq "$ROUNDS"); do
    for side in ours ref; do
        if [ $side = ours ]; then cmd=$ours_cmd; else cmd=$ref_cmd; fi
        # Fresh outputs: replacing an existing file makes the atomic save flush it first.
        rm -f "$WORK/$side/input.bin.sig" "$WORK/$side/input.bin.sig.7z"
        line=$("$MEASURE" "$side" -- /usr/bin/time -f "%U %S" -o "$WORK/cpu.txt" sh -c "$cmd")
        case "$line" in *exit=0) ;; *) echo "$line: $side failed" >&2; exit 1 ;; esac
        line="$line $(awk '{ printf "cpu_s=%.2f", $1 + $2 }' "$WORK/cpu.txt")"
        echo "  round $round: $line"
        echo "$line" >>"$results"
    done
done

# Both sides made the same kind of files: a detached signature that openssl accepts and an archive of
# the pair that tests clean, with BZip2.
for side in ours ref; do
    openssl cms -verify -binary -noverify -engine gost -inform DER -in "$WORK/$side/input.bin.sig" \
        -content "$WORK/$side/input.bin" -out /dev/null 2>/dev/null || { echo "$side: bad signature" >&2; exit 1; }
    7z t "$WORK/$side/input.bin.sig.7z" >/dev/null || { echo "$side: bad archive" >&2; exit 1; }
done
entries() { 7z l -slt "$1" | awk -F' = ' '$1 == "Path" { if (n++) p = p " " $2 } $1 == "Method" { m = $2 } END { print p " (" m ")" }'; }
echo "archive entries: ours$(entries "$WORK/ours/input.bin.sig.7z"), 7z$(entries "$WORK/ref/input.bin.sig.7z")"
packed() { 7z l -slt "$1" | awk -F' = ' '$1 == "Packed Size" && $2 != "" { s += $2 } END { print s }'; }
echo "packed bytes: ours $(packed "$WORK/ours/input.bin.sig.7z"), openssl + 7z $(packed "$WORK/ref/input.bin.sig.7z")"

awk '
    { match($0, /wall_s=[0-9.]+/); w = substr($0, RSTART + 7, RLENGTH - 7) + 0
      match($0, /maxrss_mib=[0-9.]+/); r = substr($0, RSTART + 11, RLENGTH - 11) + 0
      match($0, /cpu_s=[0-9.]+/); c = substr($0, RSTART + 6, RLENGTH - 6) + 0
      if (!($1 in wall) || w < wall[$1]) wall[$1] = w
      if (!($1 in cpu) || c < cpu[$1]) cpu[$1] = c
      if (r > rss[$1]) rss[$1] = r }
    END {
      ratio = wall["ours"] / wall["ref"]
      printf "wall (best): plombar-cli sign --7z %.2f s, openssl cms + 7z a %.2f s, ratio %.3f (target <= 1.05)\n",
             wall["ours"], wall["ref"], ratio
      printf "CPU time (lowest): ours %.2f s, openssl + 7z %.2f s, ratio %.3f\n", cpu["ours"], cpu["ref"], cpu["ours"] / cpu["ref"]
      printf "peak RSS: ours %.1f MiB, the larger of openssl and 7z %.1f MiB\n", rss["ours"], rss["ref"]
      print ratio <= 1.05 ? "target met" : "TARGET MISSED"
    }' "$results"
