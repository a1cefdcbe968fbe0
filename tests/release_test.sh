#!/usr/bin/env bash
# scripts/release end to end, with a throwaway self-signed code-signing certificate whose key has a
# password, then once without a certificate. Checks that both signatures verify and that the MSI
# carries the signed tool, that removing the signature gives back the tool's reproducible bytes
# exactly, that SHA256SUMS lists exactly what was written, and that the signed tool still runs
# (under Wine, which loads it but checks no signature). A failure names its step.
#
#   tests/release_test.sh      (after the windows preset's build; scripts/test runs it)
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
work="$ROOT/build/release-test"
built="$ROOT/build/windows/bin/orvex-uninstall.exe"
# The Wine prefix is kept from run to run (its first start takes seconds); the rest is made anew.
mkdir -p "$work"
find "$work" -mindepth 1 -maxdepth 1 ! -name prefix -exec rm -rf {} +

step="making a certificate"
run=none
fail() {
    echo "FAILED in step \"$step\": $*" >&2
    [ -s "$work/$run.log" ] && { echo "-- $work/$run.log (last lines)"; tail -n 25 "$work/$run.log"; } >&2
    exit 1
}
trap 'fail "$BASH_COMMAND failed"' ERR

cd "$work"
echo "a throwaway password" >pass
openssl req -x509 -newkey rsa:2048 -keyout key.pem -passout file:pass -out cert.pem -days 1 \
    -subj "/CN=Orvex release test" -addext "keyUsage=critical,digitalSignature" \
    -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 || fail "openssl req failed"

# sums_match DIR NAME...: SHA256SUMS in DIR lists exactly these files, and each hash matches.
sums_match() {
    local dir=$1
    shift
    [ "$(cut -d' ' -f3- "$dir/SHA256SUMS" | sort)" = "$(printf '%s\n' "$@" | sort)" ] ||
        fail "SHA256SUMS lists $(cut -d' ' -f3- "$dir/SHA256SUMS" | tr '\n' ' '), expected $*"
    [ "$(cd "$dir" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort)" = \
        "$(printf '%s\n' "$@" | sort)" ] || fail "$dir holds other files than $*"
    (cd "$dir" && sha256sum --quiet -c SHA256SUMS) || fail "a hash in SHA256SUMS does not match"
}

step="1: a signed release"
run=signed
bash "$ROOT/scripts/release" --out signed --cert cert.pem --key key.pem --pass-file pass \
    >signed.log 2>&1 || fail "scripts/release exited with $?"
grep -q '^signed by /CN=Orvex release test; both signatures verified' signed.log ||
    fail "the release does not say who signed it"
sums_match signed orvex-uninstall.exe orvex-vpn-example.msi unsigned/orvex-uninstall.exe
for f in orvex-uninstall.exe orvex-vpn-example.msi; do
    osslsigncode verify -in "signed/$f" -CAfile cert.pem </dev/null >"verify-$f.log" 2>&1 ||
        { run="verify-$f"; fail "the signature of $f does not verify"; }
done
msiinfo streams signed/orvex-vpn-example.msi | grep -q 'MsiDigitalSignatureEx$' ||
    fail "the MSI's signature leaves out its metadata (MsiDigitalSignatureEx)"
msiinfo extract signed/orvex-vpn-example.msi Binary.OrvexUninstallExe >carried.exe
cmp -s carried.exe signed/orvex-uninstall.exe || fail "the MSI does not carry the signed tool"

step="2: the signature removed gives back the built bytes"
osslsigncode remove-signature -in signed/orvex-uninstall.exe -out stripped.exe </dev/null >/dev/null 2>&1
cmp -s signed/unsigned/orvex-uninstall.exe "$built" || fail "unsigned/ is not the built tool"
cmp stripped.exe "$built" >&2 || fail "the signed tool without its signature is not the built tool"

step="3: the signed tool runs"
start_wine "$work/prefix"
rm -rf "$WINEPREFIX/drive_c/ProgramData/orvex-service"
status=0
wine signed/orvex-uninstall.exe --cleanup-stale-owners </dev/null >run.out 2>run.err || status=$?
# Without the service's folder, maintenance stops at its first step, changing nothing, with the
# report that the black-box case for this run expects (tests/wine/exe_test.cpp).
[ "$status" -eq 1 ] && [ ! -s run.out ] && [ "$(tr -d '\r' <run.err)" = 'Error: failed to create private service directory "C:\\ProgramData\\orvex-service\\runtime"

Caused by:
    Path not found. (os error 3)' ] || fail "status $status, output: $(cat run.out run.err)"
stop_wine

step="4: a release without a certificate"
run=unsigned
bash "$ROOT/scripts/release" --out unsigned >unsigned.log 2>&1 || fail "scripts/release exited with $?"
grep -qx 'unsigned: no certificate given (--cert and --key, or --pkcs12)' unsigned.log ||
    fail "the release does not say that it is unsigned"
sums_match unsigned orvex-uninstall.exe orvex-vpn-example.msi
cmp unsigned/orvex-uninstall.exe "$built" >&2 || fail "the unsigned release is not the built tool"

echo "release test: all four steps passed"
