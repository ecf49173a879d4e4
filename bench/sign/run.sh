#!/usr/bin/env bash
# Signing a 300,000,000-byte file with a GOST R 34.10-2012 256-bit key, detached and attached:
# plombar-cli sign (the window's operation) against one hash pass of the same file
# (`openssl dgst`, the physical limit) and against `openssl cms -sign` itself.
# Targets: wall <= 1.10 x hash pass and <= 1.0 x openssl cms; peak memory <= file + 64 MiB
# detached, <= 2 x file + 64 MiB attached.
#   PLOMBAR_BUILD   build folder (default build/release)
#   ROUNDS          measured rounds (default 3; the best of them counts, the VM is noisy)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${PLOMBAR_BUILD:-build/release}
ROUNDS=${ROUNDS:-3}
MEASURE=$BUILD/bench/plombar-measure
CLI=$BUILD/tools/plombar-cli
SIZE=300000000
for tool in "$MEASURE" "$CLI"; do
    [ -x "$tool" ] || { echo "missing $tool: cmake --build $BUILD --target plombar-cli plombar-measure" >&2; exit 2; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/plombar-bench-sign.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export XDG_DATA_HOME=$WORK/data
unset CRYPT_PARAMS GOST_PBE_HMAC GOST_PK_FORMAT

head -c "$SIZE" /dev/urandom > "$WORK/input.bin"
"$CLI" store new-test-cert --alg 2012-256 --subject "CN=Замер подписи" > "$WORK/made.txt"
THUMB=$(sed -n 's/^Создан тестовый сертификат \([0-9a-f]\{40\}\)$/\1/p' "$WORK/made.txt")
"$CLI" store export "$THUMB" --pem --out "$WORK/cert.pem" > /dev/null
KEY=$XDG_DATA_HOME/plombar/stores/MY/$THUMB.key
cat "$WORK/input.bin" > /dev/null # the page cache holds the file for every contender alike

measure() { # label command...
    local label=$1
    shift
    "$MEASURE" "$label" -- "$@" | grep "^$label wall_s=" | tee -a "$WORK/results.txt"
}

# Outputs are removed before each run: replacing an existing file makes the atomic save flush it to
# disk first (openssl does not), which would measure the disk instead of the signing.
for round in $(seq "$ROUNDS"); do
    echo "--- round $round"
    rm -f "$WORK"/*.sig "$WORK/input.bin.sig"
    measure hash openssl dgst -engine gost -md_gost12_256 -out /dev/null "$WORK/input.bin"
    measure openssl-detached openssl cms -sign -binary -noattr -engine gost -in "$WORK/input.bin" \
        -signer "$WORK/cert.pem" -inkey "$KEY" -outform DER -out "$WORK/openssl.sig"
    measure plombar-detached "$CLI" sign "$WORK/input.bin" --thumbprint "$THUMB"
    mv "$WORK/input.bin.sig" "$WORK/plombar-detached.sig"
    rm -f "$WORK/openssl.sig"
    measure openssl-attached openssl cms -sign -binary -noattr -nodetach -engine gost -in "$WORK/input.bin" \
        -signer "$WORK/cert.pem" -inkey "$KEY" -outform DER -out "$WORK/openssl-attached.sig"
    measure plombar-attached "$CLI" sign "$WORK/input.bin" --thumbprint "$THUMB" --attached
done 2>/dev/null

# The outputs are real signatures, not just fast ones.
openssl cms -verify -binary -noverify -engine gost -inform DER -in "$WORK/plombar-detached.sig" \
    -content "$WORK/input.bin" -out /dev/null 2>/dev/null && echo "detached signature verifies with openssl"

awk -v size="$SIZE" '
    { split($2, w, "="); split($3, m, "=");
      if (!($1 in wall) || w[2] < wall[$1]) wall[$1] = w[2];
      if (!($1 in rss) || m[2] > rss[$1]) rss[$1] = m[2]; }
    END {
        file = size / 1048576;
        printf "\nbest wall (s) / peak RSS (MiB) over the rounds\n";
        n = split("hash openssl-detached plombar-detached openssl-attached plombar-attached", names, " ");
        for (i = 1; i <= n; i++) printf "  %-17s %7.3f s  %7.1f MiB\n", names[i], wall[names[i]], rss[names[i]];
        d = wall["plombar-detached"]; a = wall["plombar-attached"];
        printf "\ndetached: %.3f x hash pass (target <= 1.10), %.3f x openssl cms (target <= 1.0)\n",
               d / wall["hash"], d / wall["openssl-detached"];
        printf "attached: %.3f x hash pass, %.3f x openssl cms -nodetach\n", a / wall["hash"], a / wall["openssl-attached"];
        printf "peak RSS detached %.1f MiB (limit %.1f), attached %.1f MiB (limit %.1f)\n",
               rss["plombar-detached"], file + 64, rss["plombar-attached"], 2 * file + 64;
        ok = d <= 1.10 * wall["hash"] && d <= wall["openssl-detached"] &&
             rss["plombar-detached"] <= file + 64 && rss["plombar-attached"] <= 2 * file + 64;
        print ok ? "targets met" : "TARGETS MISSED";
    }' "$WORK/results.txt"
