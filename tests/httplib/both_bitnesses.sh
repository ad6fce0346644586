#!/bin/sh
# Both bitnesses of Korvanet registered on one 64-bit machine. The CLSID keys
# exist once per registry view, the ProgIDs and the type library's key once
# for both: unregistering one bitness must leave the other's clients working.
#   both_bitnesses.sh <wine-run> <own arch> <own dll> <peer arch> <peer dll>
#                     <client.vbs> <port-file>
# The fixture has the own DLL registered; so does this script when it ends.
# Exit 77 (skipped) when the other build's DLL is not there.
set -u
wine_run="$1"; own="$2"; own_dll="$3"; peer="$4"; peer_dll="$5"; client="$6"; portfile="$7"
[ -f "$peer_dll" ] || { echo "SKIPPED: no $peer build at $peer_dll"; exit 77; }
# Without IA32 support in the kernel the 32-bit tools cannot start.
"$(dirname "$0")/../../scripts/qm-wine" --can-run-32bit || { echo "SKIPPED: this machine cannot run 32-bit programs"; exit 77; }
port="$(sed -n 's/^http=//p' "$portfile")"
fail() { echo "FAIL: $*"; exit 1; }
as() {  # as <arch> <wine arguments...>: a tool of that bitness
  arch="$1"; shift
  QM_WINE_ARCH="$arch" "$wine_run" "$@"
}
winpath() { "$wine_run" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
own_w="$(winpath "$own_dll")"; peer_w="$(winpath "$peer_dll")"; client_w="$(winpath "$client")"

register() { as "$1" regsvr32 /s "$2" || fail "regsvr32 ($1) $2 exited with $?"; }
unregister() { as "$1" regsvr32 /s /u "$2" || fail "regsvr32 /u ($1) $2 exited with $?"; }
client_works() {  # client_works <arch> <what happened before>
  out="$(as "$1" cscript //nologo "$client_w" "$port" 2>&1 | tr -d '\r')"
  echo "$out" | sed 's/^/  /'
  want=AMD64; [ "$1" = win32 ] && want=x86
  echo "$out" | grep -qx "ARCH $want" || fail "the $1 client did not run as $want"
  echo "$out" | tail -n 1 | grep -qx "VERDICT PASS" || fail "$1 client after $2"
}
gone() {  # gone <arch> <key>: the key is absent in that bitness's view
  as "$1" reg query "$2" >/dev/null 2>&1 && fail "$2 is still there for $1"
  return 0
}

echo "register $peer beside $own, unregister $peer"
register "$peer" "$peer_w"
client_works "$peer" "registering both"
unregister "$peer" "$peer_w"
client_works "$own" "unregistering the $peer DLL"
gone "$peer" 'HKCR\CLSID\{A179089D-D2B9-490D-892F-775170009ED4}'

echo "register $peer again, unregister $own"
register "$peer" "$peer_w"
unregister "$own" "$own_w"
client_works "$peer" "unregistering the $own DLL"
gone "$own" 'HKCR\CLSID\{6694ADDE-4F9A-4145-B465-CA705847494F}'

echo "back to the fixture's state: $own registered alone"
register "$own" "$own_w"
unregister "$peer" "$peer_w"
client_works "$own" "unregistering the $peer DLL again"
echo "PASS"
