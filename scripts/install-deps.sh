#!/usr/bin/env bash
# Installs what building and testing Clearwick needs on Debian 12, if it is
# missing: the native toolchain and GoogleTest, mingw-w64 for i686, 32-bit
# Wine (which needs the i386 architecture), Xvfb and the X tools the Wine
# tests drive it with; git, whose last commit gives the exe its time stamp;
# python3-pefile, which stamps the exe and reads it in the exe checks;
# osslsigncode and openssl, which sign a release and check it. On the host
# alone, where releases are made and signed: OpenSSL's pkcs11 engine and
# p11-kit's proxy module, through which osslsigncode signs with a key in a
# token, and SoftHSM2 and OpenSC's pkcs11-tool, with which the release test
# makes its token. Runs as root, or through sudo when there is one.
#
#   scripts/install-deps.sh [--guest | --bench | --list]
# --guest adds what makes and starts the emulated machine (scripts/win32-run.sh);
# --bench what bench/run.sh builds its peer (NSIS) and its timer (Xlib, XTest)
# with; --list prints the first list less the host's signing packages, one a
# line: the emulated machine is made with it.
set -euo pipefail

packages=(
    cmake g++ libgtest-dev
    g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
    wine wine32 wine64 xvfb xdotool x11-utils x11-apps netpbm
    fonts-nanum fonts-droid-fallback fonts-wine python3 python3-pefile locales
    git make osslsigncode openssl
)
signing=(libengine-pkcs11-openssl p11-kit-modules softhsm2 opensc)
case ${1:-} in
    --list) printf '%s\n' "${packages[@]}"; exit 0 ;;
    --guest) packages+=(qemu-system-x86 mmdebstrap e2fsprogs) ;;
    --bench) packages+=(nsis libx11-dev libxtst-dev) ;;
    "") ;;
    *) echo "usage: scripts/install-deps.sh [--guest | --bench | --list]" >&2; exit 2 ;;
esac
packages+=("${signing[@]}")

sudo=
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi

# The tests run Wine in an en_US.UTF-8 environment, whose ANSI code page is
# 1252, not Korean's, and in a ko_KR.UTF-8 one, whose ANSI code page is 949.
# Wine takes its code pages from the Unix locale, which must be generated.
locales=()
for l in en_US ko_KR; do
    locale -a 2>/dev/null | grep -qix "$l.utf8" || locales+=("$l")
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
    echo "Installing: ${missing[*]}"
    apt=()
    if ! $sudo apt-get update -qq; then
        # A mirror with one stale index (seen: the security suite's i386 list,
        # whose size its Release file denies) fails the update and leaves
        # that suite half there: its amd64 versions, which i386 packages
        # must match, without its i386 ones, so nothing 32-bit installs. The
        # install then reads the sources without the security suite.
        echo "apt-get update failed; installing without the security suite" >&2
        only=$(mktemp -d)
        grep -vs -- -security /etc/apt/sources.list >"$only/sources.list" || true
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -e "$f" ] && awk 'BEGIN { RS = ""; ORS = "\n\n" } !/-security/' "$f" >"$only/${f##*/}"
        done
        apt=(-o "Dir::Etc::SourceList=$only/sources.list" -o "Dir::Etc::SourceParts=$only")
        $sudo apt-get "${apt[@]}" update -qq
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ ${#locales[@]} -gt 0 ]; then
    echo "Generating the ${locales[*]/%/.UTF-8} locales"
    for l in "${locales[@]}"; do
        $sudo sed -i "s/^# *$l.UTF-8 UTF-8/$l.UTF-8 UTF-8/" /etc/locale.gen
    done
    $sudo locale-gen >/dev/null
fi
