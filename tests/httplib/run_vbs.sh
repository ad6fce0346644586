#!/bin/sh
# Runs a VBScript client with cscript under Wine and checks its verdict line
# (cscript exits 0 even when the script fails).
#   run_vbs.sh <wine-run> <script.vbs> <port-file>
set -u
wine_run="$1"; script="$2"; portfile="$3"
port="$(sed -n 's/^http=//p' "$portfile")"
scriptw="$("$wine_run" winepath -w "$script" 2>/dev/null | tr -d '\r')"
out="$("$wine_run" cscript //nologo "$scriptw" "$port" 2>&1 | tr -d '\r')"
echo "$out"
echo "$out" | tail -n 1 | grep -qx "VERDICT PASS"
