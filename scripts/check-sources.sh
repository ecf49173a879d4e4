#!/usr/bin/env bash
# Source checks that CI runs before building: every C/C++ file is formatted as .clang-format says,
# and each layer includes only the layers below it.
#   platform <- {codec, crypto, sevenzip} <- operations <- {app, tools}
# Qt belongs to the window alone: src/app and the GUI tests. Usage: scripts/check-sources.sh
set -euo pipefail
cd "$(dirname "$0")/.."

status=0

echo "== check: formatting (clang-format --dry-run -Werror)"
mapfile -t sources < <(git ls-files '*.c' '*.cpp' '*.h')
if ! clang-format --dry-run -Werror "${sources[@]}"; then
    echo "check: run clang-format -i on the files above" >&2
    status=1
fi

echo "== check: layering"
# The project folders a layer may include from ("platform/…", "crypto/…").
declare -A allowed=(
    [src/platform]="platform"
    [src/codec]="platform codec"
    [src/crypto]="platform codec crypto"
    [src/sevenzip]="platform sevenzip"
    [src/operations]="platform codec crypto sevenzip operations"
    [src/app]="platform codec crypto sevenzip operations app"
    [tools]="platform codec crypto sevenzip operations"
)
for layer in "${!allowed[@]}"; do
    [ -d "$layer" ] || continue
    while IFS= read -r hit; do
        included=$(sed -E 's/.*#include *"([a-z0-9_]+)\/.*/\1/' <<<"${hit#*:*:}")
        case " ${allowed[$layer]} " in
        *" $included "*) ;;
        *)
            echo "$hit: $layer must not include $included/" >&2
            status=1
            ;;
        esac
    done < <(git grep -n -E '#include *"[a-z0-9_]+/' -- "$layer" || true)
done
# Qt only in the window and its tests.
if qt=$(git grep -n -E '#include *<Q[A-Za-z]*>' -- . ':!src/app' ':!tests/app' ':!tests/faults/test_app_*'); then
    echo "$qt" >&2
    echo "check: Qt is included outside src/app and the GUI tests" >&2
    status=1
fi

[ "$status" -eq 0 ] && echo "== check: sources are formatted and layered"
exit "$status"
