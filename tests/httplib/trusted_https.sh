#!/bin/sh
# HTTPS against a server whose certificate the machine trusts, directly and
# through the test proxy's tunnel; then, with the certificate taken out of
# the trusted roots again, both requests fail on it. The certificate is
# trusted for the whole prefix meanwhile, so this test runs alone.
#   trusted_https.sh <wine-run> <arch> <korvanet_trust_root.exe> <client.vbs> <port-file>
set -u
wine_run="$1"; arch="$2"; tool="$3"; client="$4"; portfile="$5"
port() { sed -n "s/^$1=//p" "$portfile"; }
winpath() { "$wine_run" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
certificate="$(winpath "$portfile.crt")"
client_w="$(winpath "$client")"
fail() { echo "FAIL: $*"; exit 1; }
untrust() { "$wine_run" "$tool" remove "$certificate"; }
trap untrust EXIT

run_client() {  # run_client trusted|untrusted
  out="$("$wine_run" cscript //nologo "$client_w" "$(port http)" "$(port https)" "$(port proxy)" "$1" 2>&1 | tr -d '\r')"
  echo "$out" | sed 's/^/  /'
  want=AMD64; [ "$arch" = win32 ] && want=x86
  echo "$out" | grep -qx "ARCH $want" || fail "the client did not run as $want"
  echo "$out" | tail -n 1 | grep -qx "VERDICT PASS" || fail "the $1 requests"
}

"$wine_run" "$tool" add "$certificate" || fail "the certificate could not be trusted"
echo "trusted:"
run_client trusted
untrust || fail "the certificate could not be taken out again"
echo "untrusted again:"
run_client untrusted
echo "PASS"
