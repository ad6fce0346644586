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
fail() { echo "FAIL: $*"; exit 1; }
winpath() { "$wine_run" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
own_w="$(winpath "$own_dll")"; peer_w="$(winpath "$peer_dll")"

# The tools of one bitness: QM_WINE_ARCH picks them.
register() { QM_WINE_ARCH="$1" "$wine_run" regsvr32 /s "$2" || fail "regsvr32 ($1) $2 exited with $?"; }
unregister() { QM_WINE_ARCH="$1" "$wine_run" regsvr32 /s /u "$2" || fail "regsvr32 /u ($1) $2 exited with $?"; }
client_works() {  # client_works <arch> <what happened before>: the script client of that bitness
  QM_WINE_ARCH="$1" sh "$(dirname "$0")/run_vbs.sh" "$wine_run" "$client" "$portfile" "$1" || fail "$1 client after $2"
}
gone() {  # gone <arch> <key>: the key is absent in that bitness's view
  QM_WINE_ARCH="$1" "$wine_run" reg query "$2" >/dev/null 2>&1 && fail "$2 is still there for $1"
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
