#!/usr/bin/env bash
# Installs what building and testing Clearwick needs on Debian 12, if it is
# missing: the native toolchain and GoogleTest, mingw-w64 for i686, 32-bit
# Wine (which needs the i386 architecture), Xvfb and the X tools the Wine
# tests drive it with. Runs as root, or through sudo when there is one.
set -euo pipefail

packages=(
    cmake g++ libgtest-dev
    g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
    wine wine32 wine64 xvfb xdotool x11-utils x11-apps netpbm
    icoutils fonts-nanum fonts-droid-fallback fonts-wine python3
    nsis libx11-dev
)

sudo=
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
