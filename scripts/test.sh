#!/usr/bin/env bash
# Installs what is missing, builds Plombar with its tests (warnings as errors) and runs the whole
# suite headless. Usage: scripts/test.sh [dev|asan]   (default: dev)
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-dev}"
scripts/setup-deps.sh
scripts/check-sources.sh
echo "== configure ($preset preset, warnings as errors)"
cmake --preset "$preset" -DPLOMBAR_WERROR=ON >/dev/null
echo "== build ($preset)"
cmake --build --preset "$preset"
echo "== test ($preset, headless: QT_QPA_PLATFORM=offscreen)"
export QT_QPA_PLATFORM=offscreen
ctest --preset "$preset" -j2
