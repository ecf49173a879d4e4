#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Plombar need, when any is missing.
# Idempotent: with everything present it only says so.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ pkg-config
    # desktop toolkit, Russian texts in Qt's own dialogs, a font with Cyrillic
    qt6-base-dev qt6-translations-l10n fonts-dejavu-core
    # GOST cryptography: OpenSSL 3 and its GOST engine
    libssl-dev openssl libengine-gost-openssl
    # fetching certificate revocation lists over HTTP
    libcurl4-openssl-dev
    # 7z archives: the 7z.so library and the 7z command the tests check with
    p7zip-full
    # source checks: formatting
    clang-format
    # tests: GoogleTest, a virtual X server for screenshots, desktop metadata validators and the
    # desktop's file type database
    libgtest-dev libgmock-dev xvfb xauth desktop-file-utils appstream shared-mime-info
    # the .deb package: dpkg-shlibdeps for its library dependencies
    dpkg-dev
    # opening the output folder in the file browser
    xdg-utils
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "== setup: all ${#packages[@]} Debian packages are installed"
    exit 0
fi

echo "== setup: installing missing Debian packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then sudo="sudo"; else
        echo "setup: not root and no sudo; install as root: apt-get install ${missing[*]}" >&2
        exit 1
    fi
fi
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
