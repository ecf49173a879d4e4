#!/usr/bin/env bash
# Installs what is missing, builds Plombar (release preset) and starts it. Extra arguments go to
# the program.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
echo "== configure (release preset)"
cmake --preset release >/dev/null
echo "== build plombar"
cmake --build --preset release --target plombar plombar-cli
exe=build/release/src/app/plombar
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "== no display found: starting $exe inside a virtual X server (xvfb-run)"
    exec xvfb-run -a "$exe" "$@"
fi
echo "== start $exe"
exec "$exe" "$@"
