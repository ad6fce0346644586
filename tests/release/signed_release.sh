#!/usr/bin/env bash
# scripts/release as a release manager runs it, on the builds that are
# there: with a certificate, every program, DLL and package of the release
# carries a signature that verifies, the checksums match and the signed
# updater still runs; without one the release is unsigned and says so; with
# a wrong password it fails and leaves no release folder.
#   signed_release.sh <source root> <work folder> <wine-run>
# Leaves the signed release in <work folder>/signed for the package tests.
set -u
root="$1"; work="$2"; wine_run="$3"
source "$root/scripts/env.sh"
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$work"
mkdir -p "$work"
cd "$work" || fail "no $work"

# A throwaway code-signing certificate, made for this run only.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quenmark Test Signing" \
  -addext "extendedKeyUsage=codeSigning" -keyout key.pem -out cert.pem >/dev/null 2>&1 ||
  fail "openssl could not make a certificate"
openssl pkcs12 -export -inkey key.pem -in cert.pem -out signing.p12 -passout "pass:test password" ||
  fail "openssl could not make the PKCS#12 file"

release() {  # release <folder> [VAR=value ...]: scripts/release --no-build into <folder>, output in <folder>.log
  local folder="$1"; shift
  env "$@" "$root/scripts/release" --no-build --out "$work/$folder" >"$work/$folder.log" 2>&1
}

echo "signed release"
release signed QM_SIGN_PKCS12="$work/signing.p12" QM_SIGN_PASSWORD="test password" ||
  { cat signed.log; fail "scripts/release exited with $?"; }
grep -q '^Signed with ' signed.log || { cat signed.log; fail "the release does not say it is signed"; }
files="$(cd signed && find . -type f -printf '%P\n' | sort | tr '\n' ' ')"
[ "$files" = "Korvanet-x64.msi Korvanet-x86.msi SHA256SUMS Trevalon.exe x64/Korvanet.dll x86/Korvanet.dll " ] ||
  fail "unexpected files in the release: $files"
(cd signed && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
for f in Trevalon.exe x86/Korvanet.dll x64/Korvanet.dll Korvanet-x86.msi Korvanet-x64.msi; do
  osslsigncode verify -CAfile cert.pem -in "signed/$f" >verify.log 2>&1 ||
    { cat verify.log; fail "the signature of $f does not verify"; }
  grep -q 'Subject: /CN=Quenmark Test Signing' verify.log || fail "$f is not signed with the test certificate"
  echo "  $f: signature verified"
done

# Signing rewrote the programs: the signed updater still starts and runs
# its own code (its answer 87 to an unknown argument; a file Windows cannot
# load ends with 1 under Wine, as does a run without Trevalon.ini). The
# signed DLLs run in the package tests, which install them.
mkdir -p run
cp signed/Trevalon.exe run/
if ! qm_can_run_32bit; then
  # The updater is a 32-bit program: without IA32 support nothing runs it.
  echo "  the signed Trevalon.exe was not started: this machine cannot run 32-bit programs"
else
  "$wine_run" "$work/run/Trevalon.exe" /silent /no-such-option >/dev/null 2>&1
  status=$?
  [ "$status" -eq 87 ] || fail "the signed Trevalon.exe /silent /no-such-option exited with $status, not 87"
  echo "  the signed Trevalon.exe runs (exit code 87 for an unknown argument)"
fi

echo "unsigned release"
release unsigned QM_SIGN_PKCS12= || { cat unsigned.log; fail "scripts/release without a certificate failed"; }
grep -q '^UNSIGNED: ' unsigned.log || { cat unsigned.log; fail "the unsigned release does not say so"; }
osslsigncode verify -CAfile cert.pem -in unsigned/Trevalon.exe >/dev/null 2>&1 && fail "the unsigned Trevalon.exe has a signature"

echo "wrong password"
release wrong QM_SIGN_PKCS12="$work/signing.p12" QM_SIGN_PASSWORD="not the password" &&
  fail "scripts/release succeeded with a wrong password"
grep -q 'signing .* failed' wrong.log || { cat wrong.log; fail "the failure does not name the signing"; }
[ ! -e wrong ] && [ ! -e wrong.partial ] || fail "a failed release left a folder behind"
echo "PASS"
