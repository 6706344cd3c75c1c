#!/usr/bin/env bash
# Makes a release of the commit that is checked out: builds the win32 preset
# in a fresh folder, runs the exe checks, and writes dist/clearwick-VERSION/:
#   clearwick-unsigned.exe  the reproducible build, the same bytes from every
#                           build of the commit
#   clearwick.exe           that build signed, or the same unsigned bytes
#                           when no key is given
#   clearwick.exe.sig       the detached signature (PKCS#7, DER), when signed:
#                           attached to a rebuild of the commit, it gives
#                           clearwick.exe again (scripts/verify-release.sh)
#   SHA256SUMS              the SHA-256 of each of them
#
#   scripts/release.sh [--sign KEY.p12 [--password-file FILE]] [--timestamp URL]
#
# KEY.p12 holds the code-signing key and its certificate chain (PKCS#12). Its
# password is read from FILE, or else from the environment variable
# CLEARWICK_SIGN_PASSWORD; it never goes on a command line. URL is an
# RFC 3161 time-stamping server, which keeps the signature valid after the
# certificate expires. VERSION is MAJOR.MINOR.PATCH from src/window/version.h.
# Refuses a work tree with any change, staged, unstaged or untracked.
set -euo pipefail

usage() {
    sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$0" >&2
    exit 2
}
die() {
    echo "release.sh: $*" >&2
    exit 1
}

key='' password_file='' timestamp=''
while [ $# -gt 0 ]; do
    case $1 in
        --sign) [ $# -ge 2 ] || usage; key=$2; shift 2 ;;
        --password-file) [ $# -ge 2 ] || usage; password_file=$2; shift 2 ;;
        --timestamp) [ $# -ge 2 ] || usage; timestamp=$2; shift 2 ;;
        *) usage ;;
    esac
done

# The password stays in this shell: the build and its tests never see it.
password=${CLEARWICK_SIGN_PASSWORD-}
unset CLEARWICK_SIGN_PASSWORD

if [ -n "$key" ]; then
    [ -f "$key" ] || die "no key file $key"
    key=$(realpath "$key")
    if [ -n "$password_file" ]; then
        [ -r "$password_file" ] || die "cannot read the password file $password_file"
        password_file=$(realpath "$password_file")
    elif [ -z "$password" ]; then
        die "--sign needs the key's password: set CLEARWICK_SIGN_PASSWORD or give --password-file"
    fi
    command -v osslsigncode >/dev/null || die "osslsigncode not found (scripts/install-deps.sh installs it)"
elif [ -n "$password_file$timestamp" ]; then
    die "--password-file and --timestamp go with --sign"
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

changes=$(git status --porcelain)
if [ -n "$changes" ]; then
    printf '%s\n' "$changes" >&2
    die "the work tree has changes (above); a release is made from a commit alone"
fi
commit=$(git rev-parse HEAD)

version=$(awk '$1 == "#define" && $2 ~ /^CLEARWICK_VERSION_(MAJOR|MINOR|PATCH)$/ { v[$2] = $3 }
    END { if (length(v) == 3) print v["CLEARWICK_VERSION_MAJOR"] "." v["CLEARWICK_VERSION_MINOR"] "." v["CLEARWICK_VERSION_PATCH"] }' \
    src/window/version.h)
[ -n "$version" ] || die "no MAJOR, MINOR and PATCH in src/window/version.h"

if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    stamped="SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH"
else
    stamped="its commit time $(git log -1 --format=%ct)"
fi
echo "== Clearwick $version from $commit, stamped with $stamped"
build=$repo/build/release
rm -rf "$build"
cmake --preset win32 -B "$build"
cmake --build "$build" -j2
ctest --test-dir "$build" -L exe --output-on-failure -j2 || die "the exe checks failed"

# Written beside its final place and moved there whole, so that a failed
# signing leaves no half-made folder.
dist=$repo/dist/clearwick-$version
stage=$repo/dist/.clearwick-$version.new
rm -rf "$stage"
mkdir -p "$stage"
cp "$build/clearwick.exe" "$stage/clearwick-unsigned.exe"
if [ -n "$key" ]; then
    echo "== Signing with $key"
    sign=(osslsigncode sign -pkcs12 "$key" -h sha256 -n Clearwick)
    if [ -n "$timestamp" ]; then sign+=(-ts "$timestamp"); fi
    sign+=(-in "$stage/clearwick-unsigned.exe" -out "$stage/clearwick.exe")
    if [ -n "$password_file" ]; then
        "${sign[@]}" -readpass "$password_file"
    else
        # printf is the shell's own, so the password is in no process's
        # arguments; osslsigncode reads it from the pipe.
        "${sign[@]}" -readpass <(printf '%s' "$password")
    fi
    osslsigncode extract-signature -in "$stage/clearwick.exe" -out "$stage/clearwick.exe.sig"
else
    cp "$stage/clearwick-unsigned.exe" "$stage/clearwick.exe"
    echo "== Not signed (no --sign): clearwick.exe is the unsigned build"
fi
files=(clearwick.exe clearwick-unsigned.exe)
if [ -n "$key" ]; then files+=(clearwick.exe.sig); fi
(cd "$stage" && sha256sum -- "${files[@]}" >SHA256SUMS)
rm -rf "$dist"
mv "$stage" "$dist"

echo "== Release $version: $dist"
(cd "$dist" && ls -l)
echo "SHA256SUMS:"
sed 's/^/  /' "$dist/SHA256SUMS"
