#!/usr/bin/env bash
# A signed release, made and checked as a maintainer and a user would, with
# a throwaway CA: release.sh --sign on a clean clone of HEAD; osslsigncode
# verify; verify-release.sh accepting it, and refusing one changed byte
# (with SHA256SUMS as released and made anew) and another build's signed exe;
# the same signed through a PKCS#11 token (SoftHSM2; the key file deleted once
# imported), by p11-kit's proxy and by SoftHSM2's module with --certs; and
# release.sh refusing a wrong PIN, a missing token, key, certificate, module
# or engine, naming it and leaving nothing in dist/. Runs no Windows program.
#
#   release_test.sh                      the above, in ./release-test
#   release_test.sh nt_ok STANDIN PROBE  the signed exe it left there, in the
#                                        e2e scenario nt_ok (runs Windows programs)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
work=$PWD/release-test
signed=$work/clearwick-signed.exe
say() { echo "[release] $*"; }
fail() {
    echo "[release] FAIL: $*"
    exit 1
}
if [ "${1:-}" = nt_ok ]; then
    [ -f "$signed" ] || fail "no $signed: the test 'release' makes it (ctest -R '^release')"
    say "the signed exe in the e2e scenario nt_ok"
    E2E_OUT=$work/e2e exec bash "$repo/tests/e2e/scenario.sh" nt_ok "$signed" "$2" "$3"
fi
rm -rf "$work"
mkdir -p "$work"
keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT

say "a throwaway CA and code-signing certificate"
cat >"$keys/openssl.cnf" <<'EOF'
[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
password=$(openssl rand -hex 16)
# (Each block below is followed by || and so runs without set -e: its steps
# are joined by &&, or a failing step would go unseen.)
leaf() { # NAME SERIAL CN: a signing certificate from the test CA
    openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Clearwick $3 Signer/O=Clearwick" \
        -config "$keys/openssl.cnf" -keyout "$keys/$1.key" -out "$keys/$1.csr" &&
        openssl x509 -req -days 2 -in "$keys/$1.csr" -CA "$keys/ca.pem" -CAkey "$keys/ca.key" \
            -set_serial "$2" -extfile "$keys/openssl.cnf" -extensions signer -out "$keys/$1.pem"
}
{
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Clearwick Test CA" \
        -config "$keys/openssl.cnf" -extensions ca -keyout "$keys/ca.key" -out "$keys/ca.pem" &&
        leaf signer 1 Test && leaf token 2 Token &&
        openssl pkcs12 -export -inkey "$keys/signer.key" -in "$keys/signer.pem" -certfile "$keys/ca.pem" \
            -passout "pass:$password" -out "$keys/signer.p12" &&
        openssl x509 -in "$keys/token.pem" -outform DER -out "$keys/token.der" &&
        cat "$keys/token.pem" "$keys/ca.pem" >"$keys/token-chain.pem"
} >"$work/openssl.log" 2>&1 || { cat "$work/openssl.log"; fail "openssl could not make the certificates"; }

say "release.sh --sign on a clean clone of $(git -C "$repo" rev-parse --short HEAD)"
git -c advice.detachedHead=false clone --quiet "$repo" "$work/clone"
if ! CLEARWICK_SIGN_PASSWORD=$password "$work/clone/scripts/release.sh" --sign "$keys/signer.p12" \
    >"$work/release.log" 2>&1; then
    tail -n 30 "$work/release.log"
    fail "release.sh failed"
fi
grep -qF -- "$password" "$work/release.log" && fail "release.sh printed the password"
sed -n '/^== Release/,$p' "$work/release.log"
dist=$(echo "$work"/clone/dist/clearwick-*)
for f in clearwick.exe clearwick-unsigned.exe clearwick.exe.sig SHA256SUMS; do
    [ -s "$dist/$f" ] || fail "the release has no $f"
done

# osslsigncode verify of EXE with the test CA, which must accept it as signed
# by CN; its output goes to LOG.
signed_by() {
    local exe=$1 cn=$2 log=$3
    osslsigncode verify -in "$exe" -CAfile "$keys/ca.pem" >"$log" 2>&1 ||
        { cat "$log"; fail "osslsigncode verify refused $exe"; }
    grep -q '^Signature verification: ok' "$log" || fail "no 'Signature verification: ok' for $exe"
    grep -qF "Subject: /CN=$cn" "$log" || fail "$exe is not signed by $cn"
}
say "osslsigncode verify with the test CA"
signed_by "$dist/clearwick.exe" "Clearwick Test Signer" "$work/verify.log"
grep -q 'Text description: Clearwick' "$work/verify.log" || fail "the signature does not name the program Clearwick"
grep -q '^Message digest algorithm *: SHA256' "$work/verify.log" || fail "the digest is not SHA-256"
cp "$dist/clearwick.exe" "$signed"

# verify-release.sh on a folder: it must pass, or fail at the step named.
verify() {
    local folder=$1 expected=$2 log=$work/verify-$3.log status=0
    "$work/clone/scripts/verify-release.sh" --ca "$keys/ca.pem" "$folder" >"$log" 2>&1 || status=$?
    sed 's/^/  | /' "$log"
    if [ "$expected" = pass ]; then
        [ "$status" = 0 ] || fail "verify-release.sh refused the release ($3)"
    else
        [ "$status" = 1 ] || fail "verify-release.sh ended with $status, not 1, for $3"
        grep -q "FAILED at step $expected:" "$log" || fail "verify-release.sh did not fail at '$expected' for $3"
    fi
}
# A copy of the release, named as released, to tamper with.
copy() {
    mkdir -p "$work/$1"
    cp -a "$dist" "$work/$1/"
    echo "$work/$1/$(basename "$dist")"
}
new_sums() { (cd "$1" && sha256sum -- clearwick.exe clearwick-unsigned.exe clearwick.exe.sig >SHA256SUMS); }

say "verify-release.sh on the release"
verify "$dist" pass good

say "verify-release.sh with one byte of clearwick.exe's code changed"
tampered=$(copy byte)
python3 -c 'import sys; p=sys.argv[1]; d=bytearray(open(p,"rb").read()); d[0x500]^=0xff; open(p,"wb").write(d)' \
    "$tampered/clearwick.exe"
verify "$tampered" sums byte
new_sums "$tampered"
say "... and SHA256SUMS made anew"
verify "$tampered" signed byte-new-sums

# Another build of the same source, stamped with another time, signed with
# the same key: the folder is consistent and its exe's signature verifies,
# but the rebuild shows it is not what this commit builds.
say "verify-release.sh with the signed exe and signature of another build"
other=$(copy other)
cp "$dist/clearwick-unsigned.exe" "$work/other.exe"
echo 1000000000 >"$work/other-epoch.txt"
"$repo/tools/pe_stamp.py" stamp "$work/other.exe" "$work/other-epoch.txt"
rm "$other/clearwick.exe" "$other/clearwick.exe.sig"
osslsigncode sign -pkcs12 "$keys/signer.p12" -readpass <(printf '%s' "$password") -h sha256 -n Clearwick \
    -in "$work/other.exe" -out "$other/clearwick.exe" >"$work/other-sign.log" 2>&1 ||
    { cat "$work/other-sign.log"; fail "cannot sign the other build"; }
osslsigncode extract-signature -in "$other/clearwick.exe" -out "$other/clearwick.exe.sig" >/dev/null
new_sums "$other"
# Its signature holds, or this case would show nothing.
signed_by "$other/clearwick.exe" "Clearwick Test Signer" "$work/verify-other.log"
verify "$other" signed other-build

# The release signed through a token: release.sh in the clone, the release
# then moved to NAME/, so that each run starts with no dist/.
say "a SoftHSM2 token in $work/softhsm, holding a code-signing key that no disk holds"
export SOFTHSM2_CONF=$work/softhsm/softhsm2.conf
mkdir -p "$work/softhsm/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/softhsm/tokens" >"$SOFTHSM2_CONF"
softhsm=$(sed -n 's/^module: *//p' /usr/share/p11-kit/modules/softhsm2.module 2>/dev/null)
[ -f "$softhsm" ] || fail "p11-kit has no SoftHSM2 module registered (scripts/install-deps.sh installs softhsm2)"
pin=$(openssl rand -hex 8)
printf '%s\n' "$pin" >"$keys/pin"
uri='pkcs11:token=clearwick-test;object=code-signing'
{
    softhsm2-util --init-token --free --label clearwick-test --so-pin "$(openssl rand -hex 8)" --pin "$pin" &&
        softhsm2-util --import "$keys/token.key" --token clearwick-test --label code-signing --id 01 \
            --pin "$pin" &&
        pkcs11-tool --module "$softhsm" --token-label clearwick-test --write-object "$keys/token.der" \
            --type cert --label code-signing --id 01
} >"$work/softhsm.log" 2>&1 || { cat "$work/softhsm.log"; fail "cannot put the key and certificate in the token"; }
rm "$keys/token.key"

signed_by_token() {
    local name=$1 module=$2 log=$work/release-$1.log folder
    shift 2
    rm -rf "$work/clone/dist"
    "$work/clone/scripts/release.sh" "$@" >"$log" 2>&1 || { tail -n 30 "$log"; fail "release.sh failed ($name)"; }
    grep -qF -- "$pin" "$log" && fail "release.sh printed the PIN ($name)"
    grep -q "^   through .*$module\$" "$log" || fail "release.sh did not sign through $module ($name)"
    sed -n '/^== Signing/,/^== Release/p' "$log"
    mkdir -p "$work/$name"
    mv "$work"/clone/dist/clearwick-* "$work/$name/"
    folder=$(echo "$work/$name"/clearwick-*)
    signed_by "$folder/clearwick.exe" "Clearwick Token Signer" "$work/verify-$name-exe.log"
    verify "$folder" pass "$name"
}
say "release.sh --sign $uri, through p11-kit's proxy, the certificate from the token"
CLEARWICK_SIGN_PASSWORD=$pin signed_by_token token-proxy /p11-kit-proxy.so --sign "$uri"
say "release.sh --sign $uri;type=private, through SoftHSM2's module named, the chain from --certs"
signed_by_token token-named "$softhsm" --sign "$uri;type=private" --pkcs11-module "$softhsm" \
    --certs "$keys/token-chain.pem" --password-file "$keys/pin"

# A refused signing: release.sh ends with 1, says MESSAGE, leaves no file in
# dist/. The first four fail at the token, after the build.
refused() {
    local name=$1 secret=$2 message=$3 log=$work/release-$1.log status=0
    shift 3
    rm -rf "$work/clone/dist"
    CLEARWICK_SIGN_PASSWORD=$secret "$work/clone/scripts/release.sh" "$@" >"$log" 2>&1 || status=$?
    grep '^release.sh: ' "$log" | sed 's/^/  | /'
    [ "$status" = 1 ] || fail "release.sh ended with $status, not 1, for $name"
    grep -qF "$message" "$log" || fail "release.sh did not say '$message' for $name"
    [ -z "$(find "$work/clone/dist" -type f 2>/dev/null)" ] || fail "release.sh left a file in dist/ for $name"
}
say "release.sh refusing what the token refuses"
refused wrong-pin "0$pin" "the token refused the PIN for $uri (PIN incorrect" --sign "$uri"
refused no-token "$pin" "reaches matches pkcs11:token=clearwick-absent;object=code-signing" \
    --sign 'pkcs11:token=clearwick-absent;object=code-signing'
refused no-certificate "$pin" "the token holds no certificate pkcs11:token=clearwick-test;object=absent;type=cert" \
    --sign 'pkcs11:token=clearwick-test;object=absent'
refused no-key "$pin" "the token holds no private key pkcs11:token=clearwick-test;object=absent" \
    --sign 'pkcs11:token=clearwick-test;object=absent' --certs "$keys/token-chain.pem"
refused no-module "$pin" "no PKCS#11 module $work/absent.so" --sign "$uri" --pkcs11-module "$work/absent.so"
mkdir -p "$work/no-engines"
OPENSSL_ENGINES=$work/no-engines refused no-engine "$pin" "OpenSSL has no pkcs11 engine" --sign "$uri"

say "passed"
