#!/usr/bin/env bash
# The streaming engine of the crypto layer (bench-stream-cms: one operation per process) on a
# 300,000,000-byte file with a GOST R 34.10-2012 256-bit key, against one Streebog-256 pass of the
# same file (`openssl dgst`), one GOST 28147-89 pass writing its output (`openssl enc -gost89`) and
# `openssl cms`;
# the contenders of one round run back to back, and the verdict uses the median of the per-round
# ratios. Each operation runs once more on a 30,000,000-byte file: memory must not grow with the file.
# Targets: peak RSS <= 32 MiB at 300 MB and within 4 MiB of that at 30 MB for every operation;
# sign (detached, attached) and verify <= 1.05 x the hash pass; encrypt and decrypt <= 1.0 x
# openssl cms and <= 1.10 x the cipher pass.
#   PLOMBAR_BUILD   build folder (default build/release)
#   ROUNDS          measured rounds (default 3)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${PLOMBAR_BUILD:-build/release}
ROUNDS=${ROUNDS:-3}
MEASURE=$BUILD/bench/plombar-measure
TOOL=$BUILD/bench/stream-cms/bench-stream-cms
SIZE=300000000
SMALL=30000000
for tool in "$MEASURE" "$TOOL"; do
    [ -x "$tool" ] || { echo "missing $tool: cmake --build $BUILD --target bench-stream-cms plombar-measure" >&2; exit 2; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/plombar-bench-stream-cms.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
unset CRYPT_PARAMS GOST_PBE_HMAC GOST_PK_FORMAT
ossl() { openssl "$@" 2>/dev/null; }

head -c "$SIZE" /dev/urandom > "$WORK/input.bin"
head -c "$SMALL" "$WORK/input.bin" > "$WORK/small.bin"
ossl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out "$WORK/key.pem"
ossl req -engine gost -new -x509 -key "$WORK/key.pem" -subj "/CN=Замер" -days 30 -out "$WORK/cert.pem"
CIPHER_KEY=$(head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n')
CIPHER_IV=$(head -c 8 /dev/urandom | od -An -tx1 | tr -d ' \n')
cat "$WORK/input.bin" > /dev/null # the page cache holds the file for every contender alike

measure() { # label command...
    local label=$1
    shift
    "$MEASURE" "$label" -- "$@" | grep "^$label wall_s=" | tee -a "$WORK/results.txt"
}
CMS=(openssl cms -engine gost -binary)

# Outputs are removed before each run, so no contender pays for replacing a file.
for round in $(seq "$ROUNDS"); do
    echo "--- round $round"
    rm -f "$WORK"/*.p7s "$WORK"/*.enc "$WORK"/*.out
    measure hash openssl dgst -engine gost -md_gost12_256 -out /dev/null "$WORK/input.bin"
    measure sign-detached "$TOOL" sign-detached "$WORK/input.bin" "$WORK/detached.p7s" "$WORK/cert.pem" "$WORK/key.pem"
    measure sign-attached "$TOOL" sign-attached "$WORK/input.bin" "$WORK/attached.p7s" "$WORK/cert.pem" "$WORK/key.pem"
    measure verify-detached "$TOOL" verify "$WORK/detached.p7s" "$WORK/input.bin"
    measure verify-attached "$TOOL" verify "$WORK/attached.p7s"
    measure cms-sign-detached "${CMS[@]}" -sign -noattr -in "$WORK/input.bin" -signer "$WORK/cert.pem" \
        -inkey "$WORK/key.pem" -outform DER -out "$WORK/openssl.p7s"
    measure cms-verify-detached "${CMS[@]}" -verify -noverify -inform DER -in "$WORK/detached.p7s" \
        -content "$WORK/input.bin" -out /dev/null
    measure cipher openssl enc -engine gost -gost89 -K "$CIPHER_KEY" -iv "$CIPHER_IV" -in "$WORK/input.bin" \
        -out "$WORK/cipher.out"
    measure encrypt "$TOOL" encrypt "$WORK/input.bin" "$WORK/ours.enc" "$WORK/cert.pem"
    measure cms-encrypt "${CMS[@]}" -encrypt -gost89 -in "$WORK/input.bin" -outform DER -out "$WORK/openssl.enc" \
        "$WORK/cert.pem"
    measure decrypt "$TOOL" decrypt "$WORK/ours.enc" "$WORK/ours.out" "$WORK/cert.pem" "$WORK/key.pem"
    measure cms-decrypt "${CMS[@]}" -decrypt -debug_decrypt -inform DER -in "$WORK/ours.enc" -recip "$WORK/cert.pem" \
        -inkey "$WORK/key.pem" -out "$WORK/openssl.out"
done 2>/dev/null

# The same operations on a tenth of the file, for the memory that must not grow with it.
rm -f "$WORK"/*.p7s "$WORK"/*.enc "$WORK"/*.out
measure small-sign-detached "$TOOL" sign-detached "$WORK/small.bin" "$WORK/detached.p7s" "$WORK/cert.pem" "$WORK/key.pem"
measure small-sign-attached "$TOOL" sign-attached "$WORK/small.bin" "$WORK/attached.p7s" "$WORK/cert.pem" "$WORK/key.pem"
measure small-verify-detached "$TOOL" verify "$WORK/detached.p7s" "$WORK/small.bin"
measure small-verify-attached "$TOOL" verify "$WORK/attached.p7s"
measure small-encrypt "$TOOL" encrypt "$WORK/small.bin" "$WORK/ours.enc" "$WORK/cert.pem"
measure small-decrypt "$TOOL" decrypt "$WORK/ours.enc" "$WORK/ours.out" "$WORK/cert.pem" "$WORK/key.pem"

# The outputs are real: openssl accepts them, and the round trip gives the file back.
cmp -s "$WORK/small.bin" "$WORK/ours.out" && echo "decryption gives the file back"
openssl cms -verify -binary -noverify -engine gost -inform DER -in "$WORK/attached.p7s" -out /dev/null \
    2>/dev/null && echo "attached signature verifies with openssl"

awk '
    function median(list, n,    i, j, t) {
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (list[j] < list[i]) { t = list[i]; list[i] = list[j]; list[j] = t; }
        return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2;
    }
    function ratio(a, b,    r, list) { for (r = 1; r <= rounds; r++) list[r] = time[a, r] / time[b, r]; return median(list, rounds); }
    { split($2, w, "="); split($3, m, "=");
      count[$1]++; time[$1, count[$1]] = w[2];
      if (!($1 in wall) || w[2] < wall[$1]) wall[$1] = w[2];
      if (!($1 in rss) || m[2] > rss[$1]) rss[$1] = m[2]; }
    END {
        rounds = count["hash"];
        printf "\nbest wall (s) / peak RSS (MiB) over %d rounds; RSS at 30 MB\n", rounds;
        n = split("hash cipher sign-detached sign-attached verify-detached verify-attached encrypt decrypt cms-sign-detached cms-verify-detached cms-encrypt cms-decrypt", names, " ");
        for (i = 1; i <= n; i++) {
            small = ("small-" names[i]) in rss ? sprintf("%7.1f MiB", rss["small-" names[i]]) : "";
            printf "  %-20s %7.3f s  %7.1f MiB  %s\n", names[i], wall[names[i]], rss[names[i]], small;
        }
        ok = 1;
        printf "\nmedian of the per-round ratios:\n";
        nh = split("sign-detached sign-attached verify-detached verify-attached", hashed, " ");
        for (i = 1; i <= nh; i++) {
            r = ratio(hashed[i], "hash");
            printf "  %-16s %.3f x hash pass (target <= 1.05)\n", hashed[i], r;
            ok = ok && r <= 1.05;
        }
        split("encrypt decrypt", ciphered, " ");
        for (i = 1; i <= 2; i++) {
            c = ratio(ciphered[i], "cms-" ciphered[i]); p = ratio(ciphered[i], "cipher");
            printf "  %-16s %.3f x openssl cms (target <= 1.0), %.3f x cipher pass (target <= 1.10)\n", ciphered[i], c, p;
            ok = ok && c <= 1.0 && p <= 1.10;
        }
        split("sign-detached sign-attached verify-detached verify-attached encrypt decrypt", ops, " ");
        for (i = 1; i <= 6; i++) {
            grow = rss[ops[i]] - rss["small-" ops[i]];
            ok = ok && rss[ops[i]] <= 32 && grow <= 4;
            if (rss[ops[i]] > 32 || grow > 4) printf "  memory: %s %.1f MiB, %.1f MiB more than at 30 MB\n", ops[i], rss[ops[i]], grow;
        }
        print ok ? "targets met" : "TARGETS MISSED";
    }' "$WORK/results.txt"
