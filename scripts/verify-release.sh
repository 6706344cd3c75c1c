#!/usr/bin/env bash
# Proves that a release folder (scripts/release.sh) came from this source:
# rebuilds the exe from the checked-out commit and compares bytes.
#
#   scripts/verify-release.sh [--ca FILE] DIR
#
# FILE holds the CA certificates the signer's chain must end in (default:
# the system's). The steps: sums (SHA256SUMS lists every file and each
# matches), version (DIR is clearwick-VERSION of this source), build (a
# fresh clone of HEAD builds clearwick.exe), unsigned (that is
# clearwick-unsigned.exe), then with clearwick.exe.sig: attach (osslsigncode
# attaches it to the build), signed (that is clearwick.exe), verify
# (osslsigncode verifies it; prints the signer); without one: signed
# (clearwick.exe is the build). Exits 0, 1 naming the first step that
# failed, or 2 on a wrong command line.
set -euo pipefail

usage() {
    sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$0" >&2
    exit 2
}

cafile=()
while [ $# -gt 0 ]; do
    case $1 in
        --ca) [ $# -ge 2 ] || usage; cafile=(-CAfile "$(realpath "$2")"); shift 2 ;;
        -*) usage ;;
        *) break ;;
    esac
done
[ $# -eq 1 ] || usage
[ -d "$1" ] || { echo "verify-release.sh: $1 is not a folder" >&2; exit 2; }
dir=$(cd "$1" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)

begin() {
    step=$1
    echo "== $step: $2"
}
failed() {
    echo "verify-release.sh: FAILED at step $step: $*" >&2
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/clearwick-verify.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The PE time stamp, to say which build a differing exe is.
pe_stamp() {
    python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); print(struct.unpack_from("<I", d, struct.unpack_from("<I", d, 60)[0] + 8)[0])' "$1" 2>/dev/null || echo '?'
}
# Fails the step unless the two files are the same bytes.
same_bytes() {
    local fresh=$1 published=$2 was is
    cmp -- "$fresh" "$published" >&2 || {
        was=$(pe_stamp "$published") is=$(pe_stamp "$fresh")
        [ "$was" = "$is" ] || is="$is: another commit, or another SOURCE_DATE_EPOCH"
        failed "$(basename "$published") is not what this source builds (PE time stamps: published $was, built $is)"
    }
}

begin sums "SHA256SUMS in $dir"
[ -f "$dir/SHA256SUMS" ] || failed "no SHA256SUMS"
listed=$(sed -n 's/^[0-9a-f]\{64\} [ *]\(.*\)$/\1/p' "$dir/SHA256SUMS" | LC_ALL=C sort)
present=$(cd "$dir" && find . -mindepth 1 -maxdepth 1 ! -name SHA256SUMS -printf '%f\n' | LC_ALL=C sort)
[ "$listed" = "$present" ] ||
    failed "SHA256SUMS lists [${listed//$'\n'/ }], the folder holds [${present//$'\n'/ }]"
for f in clearwick.exe clearwick-unsigned.exe; do
    grep -qxF "$f" <<<"$present" || failed "no $f"
done
(cd "$dir" && sha256sum --check --strict SHA256SUMS) || failed "a file does not match its SHA-256"

begin version "the folder's name"
version=$(awk '$1 == "#define" && sub(/^CLEARWICK_VERSION_/, "", $2) { v[$2] = $3 }
    END { if ("MAJOR" in v && "MINOR" in v && "PATCH" in v) print v["MAJOR"] "." v["MINOR"] "." v["PATCH"] }' "$repo/src/window/version.h")
[ "$(basename "$dir")" = "clearwick-$version" ] ||
    failed "the folder is $(basename "$dir"), but this source is version $version (check out the release's commit)"
echo "version $version"

begin build "clearwick.exe from a fresh clone of $(git -C "$repo" rev-parse HEAD)"
if [ -n "$(git -C "$repo" status --porcelain)" ]; then
    echo "(the work tree has changes; they are not part of this build)"
fi
git -c advice.detachedHead=false clone --quiet "$repo" "$work/source" || failed "cannot clone $repo"
[ "$(git -C "$work/source" rev-parse HEAD)" = "$(git -C "$repo" rev-parse HEAD)" ] ||
    failed "the clone's HEAD is not $repo's"
if ! (cd "$work/source" && cmake --preset win32 && cmake --build --preset win32 --target clearwick -j2) \
    >"$work/build.log" 2>&1; then
    tail -n 30 "$work/build.log" >&2
    failed "the build failed"
fi
fresh=$work/source/build/win32/clearwick.exe
sha256sum "$fresh" | sed "s|$work/source/||"

begin unsigned "the fresh build against clearwick-unsigned.exe"
same_bytes "$fresh" "$dir/clearwick-unsigned.exe"
echo "the same bytes"

if [ -f "$dir/clearwick.exe.sig" ]; then
    begin attach "clearwick.exe.sig to the fresh build"
    # osslsigncode also checks the chain here, and writes the file even when
    # that fails; the steps below tell a signature that does not fit from a
    # signer that is not trusted.
    osslsigncode attach-signature -sigin "$dir/clearwick.exe.sig" -in "$fresh" \
        -out "$work/attached.exe" "${cafile[@]}" >"$work/attach.log" 2>&1 || true
    [ -s "$work/attached.exe" ] || { cat "$work/attach.log" >&2; failed "osslsigncode could not attach it"; }
    echo "attached"

    begin signed "the fresh build with the signature against clearwick.exe"
    same_bytes "$work/attached.exe" "$dir/clearwick.exe"
    echo "the same bytes"

    begin verify "the signature of clearwick.exe"
    if ! osslsigncode verify -in "$dir/clearwick.exe" "${cafile[@]}" >"$work/verify.log" 2>&1; then
        grep -E 'MISMATCH|[Ff]ail|[Ee]rror|invalid' "$work/verify.log" >&2 || tail -n 20 "$work/verify.log" >&2
        failed "osslsigncode verify does not accept it"
    fi
    # The first certificate listed is the signer's.
    sed -n '/^Signer.s certificate:/,/^$/{s/^[[:space:]]*Subject: /signer: /p;s/^[[:space:]]*Issuer : /issued by: /p}' \
        "$work/verify.log" | head -n 2
    grep -E '^Timestamp is not available|^Timestamp Server Signature verification' "$work/verify.log" || true
    grep -E '^Signature verification: ' "$work/verify.log"
else
    begin signed "clearwick.exe, with no signature, against the fresh build"
    same_bytes "$fresh" "$dir/clearwick.exe"
    echo "the same bytes: the release is not signed"
fi
echo "verify-release.sh: $dir is Clearwick $version, built from this source"
