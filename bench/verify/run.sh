#!/usr/bin/env bash
# Verifying a detached GOST R 34.10-2012 256-bit signature over a 300,000,000-byte file:
# plombar-cli verify (the window's operation, whole file in memory) against one hash pass of the
# same file (`openssl dgst`, the physical limit) and against `openssl cms -verify` itself, in the
# same run, alternating. Signatures without and with signed attributes are both checked. plombar
# also builds the signer's chain to a root of its "Root" store and checks the CRL the signer's
# certificate names, from its cache (current, so nothing is fetched): the report must say both.
# Targets: wall <= 1.05 x hash pass and <= 1.0 x openssl cms; peak memory <= 32 MiB.
# On a shared machine wall times swing with the load of other processes; the CPU time (user +
# system, lowest of the rounds, with GNU time when installed) shows whether a side does more work.
#   PLOMBAR_BUILD   build folder (default build/release)
#   ROUNDS          measured rounds (default 3; the best wall and the largest RSS count)
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

WORK=$(mktemp -d "${TMPDIR:-/tmp}/plombar-bench-verify.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
unset CRYPT_PARAMS GOST_PBE_HMAC GOST_PK_FORMAT

head -c "$SIZE" /dev/urandom > "$WORK/input.bin"
# A root (in plombar's "Root" store) that issued the signer's certificate and a current CRL, which
# sits in plombar's CRL cache under the name of the address the certificate gives.
CRL_URL=http://127.0.0.1:9/root.crl
export XDG_DATA_HOME="$WORK/data" XDG_CACHE_HOME="$WORK/cache"
mkdir -p "$WORK/ca" && : > "$WORK/ca/index.txt" && echo 01 > "$WORK/ca/crlnumber"
cat > "$WORK/ca.cnf" <<CONF
[ca]
default_ca = root
[root]
database = $WORK/ca/index.txt
crlnumber = $WORK/ca/crlnumber
default_md = md_gost12_256
default_crl_days = 30
[root_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[leaf_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,nonRepudiation
crlDistributionPoints = URI:$CRL_URL
CONF
openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out "$WORK/root.key" 2>/dev/null
openssl req -engine gost -new -x509 -days 30 -key "$WORK/root.key" -out "$WORK/root.pem" \
    -subj "/C=RU/O=Пломбарь/CN=Замер: корневой УЦ" -utf8 -config "$WORK/ca.cnf" -extensions root_ext \
    -md_gost12_256 2>/dev/null
openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out "$WORK/key.pem" 2>/dev/null
openssl req -engine gost -new -key "$WORK/key.pem" -out "$WORK/cert.csr" -subj "/C=RU/O=Пломбарь/CN=Замер проверки" \
    -utf8 -md_gost12_256 2>/dev/null
openssl x509 -engine gost -req -in "$WORK/cert.csr" -CA "$WORK/root.pem" -CAkey "$WORK/root.key" -set_serial 2 \
    -days 30 -extfile "$WORK/ca.cnf" -extensions leaf_ext -md_gost12_256 -out "$WORK/cert.pem" 2>/dev/null
openssl ca -engine gost -config "$WORK/ca.cnf" -gencrl -keyfile "$WORK/root.key" -cert "$WORK/root.pem" \
    -out "$WORK/root.crl" 2>/dev/null
mkdir -p -m 700 "$XDG_CACHE_HOME/plombar" "$XDG_CACHE_HOME/plombar/crl"
openssl crl -in "$WORK/root.crl" -outform DER \
    -out "$XDG_CACHE_HOME/plombar/crl/$(printf %s "$CRL_URL" | sha256sum | cut -d' ' -f1).crl"
"$CLI" store import "$WORK/root.pem" --store Root > /dev/null
for kind in noattr attr; do
    options=-noattr
    [ $kind = attr ] && options=
    openssl cms -sign -binary $options -engine gost -in "$WORK/input.bin" -signer "$WORK/cert.pem" \
        -inkey "$WORK/key.pem" -outform DER -out "$WORK/$kind.sig" 2>/dev/null
done
cat "$WORK/input.bin" > /dev/null # the page cache holds the file for every contender alike

# The chain and CRL checks are part of what is measured.
"$CLI" verify "$WORK/input.bin" "$WORK/noattr.sig" > "$WORK/report.txt" || true
for line in "V Цепочка сертификатов построена до доверенного корневого" "V Сертификат не отозван"; do
    grep -qxF "$line" "$WORK/report.txt" || { echo "the report lacks \"$line\":" >&2; cat "$WORK/report.txt" >&2; exit 1; }
done

TIMER=()
[ -x /usr/bin/time ] && TIMER=(/usr/bin/time -f "%U %S" -o "$WORK/cpu.txt")
measure() { # label command...
    local label=$1 line
    shift
    rm -f "$WORK/cpu.txt"
    line=$("$MEASURE" "$label" -- "${TIMER[@]}" "$@" | grep "^$label wall_s=")
    if [ -s "$WORK/cpu.txt" ]; then
        line="$line $(awk '{ printf "cpu_s=%.2f", $1 + $2 }' "$WORK/cpu.txt")"
    fi
    echo "$line" | tee -a "$WORK/results.txt"
}

for round in $(seq "$ROUNDS"); do
    echo "--- round $round"
    measure hash openssl dgst -engine gost -md_gost12_256 -out /dev/null "$WORK/input.bin"
    for kind in noattr attr; do
        measure openssl-$kind openssl cms -verify -binary -noverify -engine gost -inform DER \
            -in "$WORK/$kind.sig" -content "$WORK/input.bin" -out /dev/null
        measure plombar-$kind sh -c "exec \"\$0\" verify \"\$1\" \"\$2\" > /dev/null" \
            "$CLI" "$WORK/input.bin" "$WORK/$kind.sig"
    done
done 2>/dev/null

# Every contender must have said "verified" (exit 0), or its time means nothing.
if grep -v 'exit=0\( cpu_s=[0-9.]*\)\?$' "$WORK/results.txt"; then
    echo "a run failed" >&2
    exit 1
fi

awk -v size="$SIZE" '
    { split($2, w, "="); split($3, m, "=");
      if (!($1 in wall) || w[2] < wall[$1]) wall[$1] = w[2];
      if (!($1 in rss) || m[2] > rss[$1]) rss[$1] = m[2];
      if (match($0, /cpu_s=[0-9.]+/)) { c = substr($0, RSTART + 6, RLENGTH - 6) + 0;
          if (!($1 in cpu) || c < cpu[$1]) cpu[$1] = c; } }
    END {
        file = size / 1048576;
        printf "\nbest wall (s) / peak RSS (MiB) / least CPU (s) over the rounds\n";
        n = split("hash openssl-noattr plombar-noattr openssl-attr plombar-attr", names, " ");
        for (i = 1; i <= n; i++)
            printf "  %-15s %7.3f s  %7.1f MiB  %6.2f s CPU\n", names[i], wall[names[i]], rss[names[i]], cpu[names[i]];
        ok = 1;
        split("noattr attr", kinds, " ");
        for (k = 1; k <= 2; k++) {
            p = wall["plombar-" kinds[k]]; o = wall["openssl-" kinds[k]]; r = rss["plombar-" kinds[k]];
            printf "%-6s: %.3f x hash pass (target <= 1.05), %.3f x openssl cms (target <= 1.0), RSS %.1f MiB (limit %.1f)\n",
                   kinds[k], p / wall["hash"], p / o, r, 32;
            if (("hash" in cpu) && (("plombar-" kinds[k]) in cpu))
                printf "        CPU %.3f x hash pass, %.3f x openssl cms\n", cpu["plombar-" kinds[k]] / cpu["hash"],
                       cpu["plombar-" kinds[k]] / cpu["openssl-" kinds[k]];
            ok = ok && p <= 1.05 * wall["hash"] && p <= o && r <= 32;
        }
        print ok ? "targets met" : "TARGETS MISSED";
    }' "$WORK/results.txt"
