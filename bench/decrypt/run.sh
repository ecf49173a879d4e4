#!/usr/bin/env bash
# Decrypting a 300,000,000-byte file encrypted for a GOST R 34.10-2012 256-bit recipient:
# plombar-cli decrypt (the window's operation) against one GOST 28147-89 decryption pass over the
# same bytes (`openssl enc -d -gost89`, the physical limit) and against `openssl cms -decrypt`.
# Targets: wall <= 1.10 x cipher pass and <= 1.0 x openssl cms; peak memory <= 32 MiB, whatever the
# file's size (it streams).
#   PLOMBAR_BUILD   build folder (default build/release)
#   ROUNDS          measured rounds (default 3; the best wall and the largest memory count)
#   SIZE            the file's size in bytes (default 300000000)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${PLOMBAR_BUILD:-build/release}
ROUNDS=${ROUNDS:-3}
MEASURE=$BUILD/bench/plombar-measure
CLI=$BUILD/tools/plombar-cli
SIZE=${SIZE:-300000000}
for tool in "$MEASURE" "$CLI"; do
    [ -x "$tool" ] || { echo "missing $tool: cmake --build $BUILD --target plombar-cli plombar-measure" >&2; exit 2; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/plombar-bench-decrypt.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export XDG_DATA_HOME=$WORK/data
unset CRYPT_PARAMS GOST_PBE_HMAC GOST_PK_FORMAT

head -c "$SIZE" /dev/urandom > "$WORK/input.bin"
"$CLI" store new-test-cert --alg 2012-256 --subject "CN=Замер расшифрования" > "$WORK/made.txt"
THUMB=$(sed -n 's/^Создан тестовый сертификат \([0-9a-f]\{40\}\)$/\1/p' "$WORK/made.txt")
"$CLI" store export "$THUMB" --pem --out "$WORK/cert.pem" > /dev/null
KEY=$XDG_DATA_HOME/plombar/stores/MY/$THUMB.key
CIPHER_KEY=$(head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n')
CIPHER_IV=$(head -c 8 /dev/urandom | od -An -tx1 | tr -d ' \n')

# The message made by plombar-cli, the same bytes under the name openssl reads, and a raw ciphertext.
"$CLI" encrypt "$WORK/input.bin" --thumbprint "$THUMB" > /dev/null
mv "$WORK/input.bin.enc" "$WORK/message.enc"
openssl enc -engine gost -gost89 -K "$CIPHER_KEY" -iv "$CIPHER_IV" -in "$WORK/input.bin" \
    -out "$WORK/cipher.raw" 2>/dev/null
cat "$WORK/message.enc" "$WORK/cipher.raw" > /dev/null # in the page cache for every contender alike

# One run: wall time and peak RSS from plombar-measure, and the CPU time (user + system) that bash's
# `times` reports for the command. The machine may be shared: CPU time does not grow when other
# processes take turns on the cores, wall time does, so both are reported.
measure() { # label command...
    local label=$1
    shift
    local out
    out=$("$MEASURE" "$label" -- bash -c '"$@" > /dev/null; s=$?; times; exit $s' "$label" "$@")
    local cpu
    cpu=$(echo "$out" | sed -n '2p' | awk '{
        n = split($1 " " $2, t, " "); s = 0;
        for (i = 1; i <= n; i++) { split(t[i], p, "m"); sub("s", "", p[2]); s += p[1] * 60 + p[2] }
        printf "%.3f", s }')
    echo "$(echo "$out" | grep "^$label wall_s=") cpu_s=$cpu" | tee -a "$WORK/results.txt"
}

# Outputs are removed before each run (see bench/encrypt/run.sh: a replaced file is flushed first).
for round in $(seq "$ROUNDS"); do
    echo "--- round $round"
    rm -f "$WORK/cipher.dec" "$WORK/openssl.dec" "$WORK/message"
    measure cipher openssl enc -d -engine gost -gost89 -K "$CIPHER_KEY" -iv "$CIPHER_IV" \
        -in "$WORK/cipher.raw" -out "$WORK/cipher.dec"
    measure openssl-cms openssl cms -decrypt -binary -debug_decrypt -engine gost -inform DER \
        -in "$WORK/message.enc" -recip "$WORK/cert.pem" -inkey "$KEY" -out "$WORK/openssl.dec"
    measure plombar "$CLI" decrypt "$WORK/message.enc"
done 2>/dev/null

cmp -s "$WORK/message" "$WORK/input.bin" && echo "plombar-cli decrypt gives the input back"
cmp -s "$WORK/openssl.dec" "$WORK/input.bin" && echo "openssl cms -decrypt gives the input back"

awk -v size="$SIZE" '
    { split($2, w, "="); split($3, m, "="); split($5, c, "=");
      if (!($1 in wall) || w[2] < wall[$1]) wall[$1] = w[2];
      if (!($1 in cpu) || c[2] < cpu[$1]) cpu[$1] = c[2];
      if (!($1 in rss) || m[2] > rss[$1]) rss[$1] = m[2]; }
    END {
        file = size / 1048576;
        printf "\nbest wall / best CPU (user + system) / peak RSS over the rounds\n";
        n = split("cipher openssl-cms plombar", names, " ");
        for (i = 1; i <= n; i++)
            printf "  %-12s %7.3f s  %7.3f s CPU  %7.1f MiB\n", names[i], wall[names[i]], cpu[names[i]], rss[names[i]];
        p = wall["plombar"];
        printf "\nplombar wall: %.3f x cipher pass (target <= 1.10), %.3f x openssl cms (target <= 1.0)\n",
               p / wall["cipher"], p / wall["openssl-cms"];
        printf "plombar CPU:  %.3f x cipher pass, %.3f x openssl cms\n",
               cpu["plombar"] / cpu["cipher"], cpu["plombar"] / cpu["openssl-cms"];
        printf "peak RSS %.1f MiB for a file of %.1f MiB (limit 32 MiB)\n", rss["plombar"], file;
        ok = p <= 1.10 * wall["cipher"] && p <= wall["openssl-cms"] && rss["plombar"] <= 32;
        print ok ? "targets met" : "TARGETS MISSED";
    }' "$WORK/results.txt"
