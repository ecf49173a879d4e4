#!/usr/bin/env bash
# Peak memory of plombar-cli for each operation on a 300,000,000-byte file and on a 30,000,000-byte
# one: sign detached, sign attached in Base64, verify, encrypt, decrypt.
# Targets: at most 32 MiB each for the large file, and the large file within 4 MiB of the small one
# (memory does not grow with the file).
#   PLOMBAR_BUILD   build folder (default build/release)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${PLOMBAR_BUILD:-build/release}
MEASURE=$BUILD/bench/plombar-measure
CLI=$BUILD/tools/plombar-cli
for tool in "$MEASURE" "$CLI"; do
    [ -x "$tool" ] || { echo "missing $tool: cmake --build $BUILD --target plombar-cli plombar-measure" >&2; exit 2; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/plombar-bench-memory.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export XDG_DATA_HOME=$WORK/data
unset CRYPT_PARAMS GOST_PBE_HMAC GOST_PK_FORMAT

"$CLI" store new-test-cert --alg 2012-256 --subject "CN=Замер памяти" > "$WORK/made.txt"
THUMB=$(sed -n 's/^Создан тестовый сертификат \([0-9a-f]\{40\}\)$/\1/p' "$WORK/made.txt")

# One run: "LABEL SIZE peak-RSS-in-MiB exit".
measure() { # label size command...
    local label=$1 size=$2
    shift 2
    local line
    line=$("$MEASURE" "$label" -- "$@" 2>/dev/null < /dev/null | grep "^$label wall_s=" || true)
    local rss exit
    rss=$(echo "$line" | sed -n 's/.*maxrss_mib=\([0-9.]*\).*/\1/p')
    exit=$(echo "$line" | sed -n 's/.*exit=\([0-9]*\).*/\1/p')
    echo "$label $size ${rss:-0} ${exit:-?}" | tee -a "$WORK/results.txt"
}

for size in 30000000 300000000; do
    dir=$WORK/$size
    mkdir -p "$dir"
    head -c "$size" /dev/urandom > "$dir/in.bin"
    measure sign-detached "$size" "$CLI" sign "$dir/in.bin" --thumbprint "$THUMB"
    measure sign-attached-base64 "$size" "$CLI" sign "$dir/in.bin" --thumbprint "$THUMB" --attached --base64
    rm -f "$dir/in.bin.p7s"
    measure verify "$size" "$CLI" verify "$dir/in.bin" "$dir/in.bin.sig"
    measure encrypt "$size" "$CLI" encrypt "$dir/in.bin" --thumbprint "$THUMB"
    mv "$dir/in.bin.enc" "$dir/out.bin.enc"
    rm -f "$dir/in.bin.sig"
    measure decrypt "$size" "$CLI" decrypt "$dir/out.bin.enc"
    cmp -s "$dir/in.bin" "$dir/out.bin" || echo "decrypt did not give the input back ($size bytes)"
    rm -rf "$dir"
done

awk '
    { rss[$1, $2] = $3; code[$1, $2] = $4; }
    END {
        printf "\npeak RSS of plombar-cli (MiB)   30 MB file   300 MB file   growth\n";
        n = split("sign-detached sign-attached-base64 verify encrypt decrypt", names, " ");
        ok = 1;
        for (i = 1; i <= n; i++) {
            small = rss[names[i], 30000000]; large = rss[names[i], 300000000];
            flag = "";
            if (large > 32 || large - small > 4 || code[names[i], 30000000] != 0 || code[names[i], 300000000] != 0) {
                ok = 0; flag = "  <- missed";
            }
            printf "  %-28s %10.1f  %12.1f  %7.1f%s\n", names[i], small, large, large - small, flag;
        }
        print ok ? "targets met (<= 32 MiB, growth <= 4 MiB)" : "TARGETS MISSED (<= 32 MiB, growth <= 4 MiB, exit 0)";
    }' "$WORK/results.txt"
