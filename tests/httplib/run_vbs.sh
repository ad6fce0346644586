#!/bin/sh
# Runs a VBScript client with the cscript of this build's bitness under Wine
# and checks its verdict line (cscript exits 0 even when the script fails)
# and that it really ran in that bitness, against the DLL of that bitness.
#   run_vbs.sh <wine-run> <script.vbs> <port-file> <win32|win64>
set -u
wine_run="$1"; script="$2"; portfile="$3"; arch="$4"
scriptw="$("$wine_run" winepath -w "$script" 2>/dev/null | tr -d '\r')"
out="$("$wine_run" cscript //nologo "$scriptw" "$(sed -n 's/^http=//p' "$portfile")" 2>&1 | tr -d '\r')"
echo "$out"
want="$([ "$arch" = win32 ] && echo x86 || echo AMD64)"
echo "$out" | grep -qx "ARCH $want" || { echo "FAIL: the script did not run as $want"; exit 1; }
echo "$out" | tail -n 1 | grep -qx "VERDICT PASS"
