#!/usr/bin/env bash
# Makes a release of the checked-out commit: builds the win32 preset in a
# fresh folder, runs the exe checks, and writes dist/clearwick-VERSION/ (VERSION
# from src/window/version.h) with clearwick-unsigned.exe (the reproducible
# build), clearwick.exe (it signed, or the same bytes unsigned),
# clearwick.exe.sig (the detached PKCS#7 signature, which attached to a rebuild
# gives clearwick.exe again: scripts/verify-release.sh) and SHA256SUMS.
#
#   scripts/release.sh [--sign KEY [--password-file FILE]
#                       [--certs CHAIN.pem] [--pkcs11-module PATH]] [--timestamp URL]
#
# KEY is a PKCS#12 file with the key and its chain, or a PKCS#11 URI (RFC
# 7512) such as 'pkcs11:token=Clearwick;object=code-signing': the key never
# leaves the token, signed through p11-kit's proxy (every registered
# module) or the module PATH; the chain, leaf first, from CHAIN.pem or the
# token's certificate. The password or PIN is read from FILE or
# CLEARWICK_SIGN_PASSWORD, never a command line. URL is an RFC 3161
# time-stamping server. Refuses a work tree with any change; a failure
# leaves nothing new in dist/.
set -euo pipefail

usage() {
    sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$0" >&2
    exit 2
}
die() {
    echo "release.sh: $*" >&2
    exit 1
}

key='' password_file='' timestamp='' certs='' module=''
while [ $# -gt 0 ]; do
    case $1 in
        --sign) [ $# -ge 2 ] || usage; key=$2; shift 2 ;;
        --password-file) [ $# -ge 2 ] || usage; password_file=$2; shift 2 ;;
        --timestamp) [ $# -ge 2 ] || usage; timestamp=$2; shift 2 ;;
        --certs) [ $# -ge 2 ] || usage; certs=$2; shift 2 ;;
        --pkcs11-module) [ $# -ge 2 ] || usage; module=$2; shift 2 ;;
        *) usage ;;
    esac
done

# The password stays in this shell: the build and its tests never see it.
password=${CLEARWICK_SIGN_PASSWORD-}
unset CLEARWICK_SIGN_PASSWORD

token=
case $key in pkcs11:*) token=1 ;; esac
if [ -n "$token" ]; then
    [[ $key != *pin-value=* ]] ||
        die "the PIN goes in --password-file or CLEARWICK_SIGN_PASSWORD, not in the URI, which a command line shows"
    # The certificate lives beside the key, by the same name.
    cert_uri=${key%%\?*}
    cert_uri=$(sed -E 's/(^|;)type=[^;]*//; s/^;//' <<<"${cert_uri#pkcs11:}")
    cert_uri="pkcs11:${cert_uri:+$cert_uri;}type=cert"
    if [ -n "$certs" ]; then
        [ -r "$certs" ] || die "cannot read the certificate chain $certs"
        certs=$(realpath "$certs")
    fi
    if [ -z "$module" ]; then
        # p11-kit's proxy module: where p11-kit's pkg-config file says, or else in the
        # library folder that holds OpenSSL's engines, where distributions put it.
        module=$(pkg-config --variable=proxy_module p11-kit-1 2>/dev/null) || module=
        if [ -z "$module" ]; then
            module=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')
            module=${module%/*}/p11-kit-proxy.so
        fi
        [ -f "$module" ] ||
            die "no p11-kit proxy module at $module: install p11-kit-modules, or name the token's module with --pkcs11-module"
    fi
    [ -f "$module" ] || die "no PKCS#11 module $module"
    module=$(realpath --no-symlinks "$module")
    openssl engine pkcs11 >/dev/null 2>&1 ||
        die "OpenSSL has no pkcs11 engine, through which osslsigncode reaches a token: install libengine-pkcs11-openssl"
elif [ -n "$certs$module" ]; then
    die "--certs and --pkcs11-module go with --sign pkcs11:URI"
elif [ -n "$key" ]; then
    [ -f "$key" ] || die "no key file $key"
    key=$(realpath "$key")
fi
if [ -n "$key" ]; then
    secret=password
    if [ -n "$token" ]; then secret=PIN; fi
    if [ -n "$password_file" ]; then
        [ -r "$password_file" ] || die "cannot read the $secret file $password_file"
        password_file=$(realpath "$password_file")
    elif [ -z "$password" ]; then
        die "--sign needs the key's $secret: set CLEARWICK_SIGN_PASSWORD or give --password-file"
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

version=$(awk '$1 == "#define" && sub(/^CLEARWICK_VERSION_/, "", $2) { v[$2] = $3 }
    END { if ("MAJOR" in v && "MINOR" in v && "PATCH" in v) print v["MAJOR"] "." v["MINOR"] "." v["PATCH"] }' src/window/version.h)
[ -n "$version" ] || die "no MAJOR, MINOR and PATCH in src/window/version.h"

stamped=${SOURCE_DATE_EPOCH:+SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH}
echo "== Clearwick $version from $commit, stamped with ${stamped:-its commit time $(git log -1 --format=%ct)}"
build=$repo/build/release
rm -rf "$build"
cmake --preset win32 -B "$build"
# The exe alone: the test programs of the preset are not released.
cmake --build "$build" --target clearwick -j2
ctest --test-dir "$build" -L exe --output-on-failure -j2 || die "the exe checks failed"

# Written beside its final place and moved there whole, and removed on any
# failure, so that a failed signing leaves nothing in dist/.
dist=$repo/dist/clearwick-$version
stage=$repo/dist/.clearwick-$version.new
rm -rf "$stage"
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage"
cp "$build/clearwick.exe" "$stage/clearwick-unsigned.exe"

# What the token refused, from the messages of OpenSSL's pkcs11 engine.
token_failure() {
    local log=$1 refused missing
    refused=$(grep -oE 'PIN (incorrect|invalid|length out of range|expired|locked)' "$log" | head -n 1) || true
    missing=$(sed -n 's/^The \(.*\) was not found at: /\1 /p' "$log" | head -n 1)
    if [ -n "$refused" ]; then
        echo "the token refused the PIN for $key ($refused; a token locks after a few wrong PINs)"
    elif grep -q 'No matching initialized token' "$log"; then
        echo "no token that $module reaches matches $key: is it plugged in?"
    elif grep -q 'Unable to load.*module' "$log"; then
        echo "cannot load the PKCS#11 module $module"
    elif [[ $missing == certificate* ]]; then
        echo "the token holds no $missing (if it holds only the key, give the chain with --certs)"
    elif [ -n "$missing" ]; then
        echo "the token holds no $missing"
    else
        echo "osslsigncode could not sign with $key through $module"
    fi
}

if [ -n "$key" ]; then
    echo "== Signing with $key"
    if [ -n "$token" ]; then
        echo "   through $module"
        sign=(osslsigncode sign -pkcs11module "$module" -key "$key")
        if [ -n "$certs" ]; then sign+=(-certs "$certs"); else sign+=(-pkcs11cert "$cert_uri"); fi
    else
        sign=(osslsigncode sign -pkcs12 "$key")
    fi
    sign+=(-h sha256 -n Clearwick)
    if [ -n "$timestamp" ]; then sign+=(-ts "$timestamp"); fi
    sign+=(-in "$stage/clearwick-unsigned.exe" -out "$stage/clearwick.exe")
    log=$build/sign.log
    status=0
    if [ -n "$password_file" ]; then
        "${sign[@]}" -readpass "$password_file" >"$log" 2>&1 || status=$?
    else
        # printf is the shell's own, so the password is in no process's
        # arguments; osslsigncode reads it from the pipe.
        "${sign[@]}" -readpass <(printf '%s' "$password") >"$log" 2>&1 || status=$?
    fi
    sed 's/^/   /' "$log"
    if [ "$status" != 0 ]; then
        if [ -n "$token" ]; then die "$(token_failure "$log")"; fi
        die "osslsigncode could not sign with $key"
    fi
    osslsigncode extract-signature -in "$stage/clearwick.exe" -out "$stage/clearwick.exe.sig"
else
    cp "$stage/clearwick-unsigned.exe" "$stage/clearwick.exe"
    echo "== Not signed (no --sign): clearwick.exe is the unsigned build"
fi
(cd "$stage" && sha256sum -- * >SHA256SUMS)
rm -rf "$dist"
mv "$stage" "$dist"

echo "== Release $version: $dist"
(cd "$dist" && ls -l)
echo "SHA256SUMS:"
sed 's/^/  /' "$dist/SHA256SUMS"
