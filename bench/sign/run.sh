#!/usr/bin/env bash
# Signing a 300,000,000-byte file with a GOST R 34.10-2012 256-bit key, detached and attached:
# plombar-cli sign (the window's operation) against one hash pass of the same file
# (`openssl dgst`, the physical limit) and against `openssl cms -sign` itself.
# Targets: wall <= 1.05 x hash pass and <= 1.0 x openssl cms; peak memory <= 32 MiB, detached
# and attached alike (signing streams).
#   PLOMBAR_BUILD   build folder (default build/release)
#   ROUNDS          measured rounds (default 5; the VM is noisy, so the verdict uses the median of
#                   the per-round ratios)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${PLOMBAR_BUILD:-build/release}
ROUNDS=${ROUNDS:-5}
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

sign_detached() {
    measure plombar-detached "$CLI" sign "$WORK/input.bin" --thumbprint "$THUMB"
    mv "$WORK/input.bin.sig" "$WORK/plombar-detached.sig"
}
openssl_detached() {
    measure openssl-detached openssl cms -sign -binary -noattr -engine gost -in "$WORK/input.bin" \
        -signer "$WORK/cert.pem" -inkey "$KEY" -outform DER -out "$WORK/openssl.sig"
}

# Outputs are removed before each run: replacing an existing file makes the atomic save flush it to
# disk first (openssl does not), which would measure the disk instead of the signing. The order of
# the contenders alternates between rounds, so that a load drift on the machine favours nobody.
for round in $(seq "$ROUNDS"); do
    echo "--- round $round"
    rm -f "$WORK"/*.sig
    if [ $((round % 2)) -eq 1 ]; then
        measure hash openssl dgst -engine gost -md_gost12_256 -out /dev/null "$WORK/input.bin"
        openssl_detached
        sign_detached
    else
        sign_detached
        openssl_detached
        measure hash openssl dgst -engine gost -md_gost12_256 -out /dev/null "$WORK/input.bin"
    fi
    rm -f "$WORK/openssl.sig"
    measure openssl-attached openssl cms -sign -binary -noattr -nodetach -engine gost -in "$WORK/input.bin" \
        -signer "$WORK/cert.pem" -inkey "$KEY" -outform DER -out "$WORK/openssl-attached.sig"
    measure plombar-attached "$CLI" sign "$WORK/input.bin" --thumbprint "$THUMB" --attached
done 2>/dev/null

# The outputs are real signatures, not just fast ones.
openssl cms -verify -binary -noverify -engine gost -inform DER -in "$WORK/plombar-detached.sig" \
    -content "$WORK/input.bin" -out /dev/null 2>/dev/null && echo "detached signature verifies with openssl"

awk -v size="$SIZE" '
    function median(list, n,    i, j, t) {
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (list[j] < list[i]) { t = list[i]; list[i] = list[j]; list[j] = t; }
        return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2;
    }
    { split($2, w, "="); split($3, m, "=");
      count[$1]++; time[$1, count[$1]] = w[2];
      if (!($1 in wall) || w[2] < wall[$1]) wall[$1] = w[2];
      if (!($1 in rss) || m[2] > rss[$1]) rss[$1] = m[2]; }
    END {
        file = size / 1048576;
        printf "\nbest wall (s) / peak RSS (MiB) over %d rounds\n", count["hash"];
        n = split("hash openssl-detached plombar-detached openssl-attached plombar-attached", names, " ");
        for (i = 1; i <= n; i++) printf "  %-17s %7.3f s  %7.1f MiB\n", names[i], wall[names[i]], rss[names[i]];
        rounds = count["hash"];
        for (r = 1; r <= rounds; r++) {
            toHash[r] = time["plombar-detached", r] / time["hash", r];
            toCms[r] = time["plombar-detached", r] / time["openssl-detached", r];
            attachedToCms[r] = time["plombar-attached", r] / time["openssl-attached", r];
        }
        h = median(toHash, rounds); c = median(toCms, rounds); a = median(attachedToCms, rounds);
        printf "\nmedian of the per-round ratios (the contenders of one round ran back to back):\n";
        printf "  detached: %.3f x hash pass (target <= 1.05), %.3f x openssl cms (target <= 1.0)\n", h, c;
        printf "  attached: %.3f x openssl cms -nodetach\n", a;
        printf "best against best: detached %.3f x hash pass, %.3f x openssl cms\n",
               wall["plombar-detached"] / wall["hash"], wall["plombar-detached"] / wall["openssl-detached"];
        printf "peak RSS detached %.1f MiB (limit %.1f), attached %.1f MiB (limit %.1f)\n",
               rss["plombar-detached"], 32, rss["plombar-attached"], 32;
        ok = h <= 1.05 && c <= 1.0 && rss["plombar-detached"] <= 32 && rss["plombar-attached"] <= 32;
        print ok ? "targets met" : "TARGETS MISSED";
    }' "$WORK/results.txt"
