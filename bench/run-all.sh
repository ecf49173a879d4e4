#!/usr/bin/env bash
# Runs every benchmark script found under bench/ against the release build.
set -euo pipefail
cd "$(dirname "$0")/.."
for script in bench/*/run.sh; do
    [ -x "$script" ] || continue
    echo "=== $script"
    "$script"
done
