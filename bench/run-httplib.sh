#!/usr/bin/env bash
# Runs Korvanet's benchmarks under Wine against the loopback test server:
# builds them, registers Korvanet.dll in the build tree's prefix, starts the
# server, prints the ratios, and stops the server again.
#   bench/run-httplib.sh [win32|win64] [request|job|download|thousands|proxy|all]
# "thousands" (not part of "all": it takes minutes) runs jobs of 1,000 and
# 10,000 requests.
# "proxy" runs the sequential loop and the job under two settings of the
# prefix's user (a configuration script on the loopback server, the way
# automatic detection finds one, and a direct connection) against
# WinHttp.WinHttpRequest.5.1 from VBScript, then puts the direct setting back.
# The architecture (default win64) picks the build, its DLL and the tools of
# its bitness (regsvr32, cscript); both builds share nothing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/env.sh"
arch=win64
case "${1:-}" in win32|win64) arch="$1"; shift ;; esac
build="$root/build/$arch"
[ -f "$build/CMakeCache.txt" ] || cmake --preset "$arch" >/dev/null
cmake --build "$build" --target bench_httplib Korvanet -j "${QM_BUILD_JOBS:-2}" >/dev/null
qm_wine_env "$build/wineprefix"
[ -d "$WINEPREFIX/drive_c/windows/syswow64" ] || qm_wine_fresh_prefix "$WINEPREFIX"
qm_wine_direct_connection  # also in a prefix made before this setting existed
run="$build/wine-run"
portfile="$build/bench-servers.txt"
sh "$root/tests/servers/http_servers.sh" start "$portfile" 900 >/dev/null
trap 'sh "$root/tests/servers/http_servers.sh" stop "$portfile"' EXIT
port="$(sed -n 's/^http=//p' "$portfile")"
cd "$build/bin"
"$run" regsvr32 /s Korvanet.dll
what="${1:-all}"
winpath() { "$run" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
# The user's connection settings as the Internet options store them (see
# scripts/direct-connection.reg): flags 1 direct, 4 script, and the script's address.
user_connection() {
  local flags="$1" script="${2:-}" hex
  le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
  hex="$(le32 70)$(le32 0)$(le32 "$flags")$(le32 0)$(le32 0)$(le32 ${#script})$(printf '%s' "$script" | od -An -tx1 | tr -d ' \n')"
  "$run" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' \
    /v DefaultConnectionSettings /t REG_BINARY /d "$hex" /f >/dev/null 2>&1
}
if [ "$what" = proxy ]; then
  trap 'qm_wine_direct_connection; sh "$root/tests/servers/http_servers.sh" stop "$portfile"' EXIT
  echo "Korvanet $arch build, the user's proxy settings"
  for setting in script direct; do
    if [ "$setting" = script ]; then
      user_connection 5 "http://127.0.0.1:$port/proxy.pac?direct=1"
    else
      user_connection 1
    fi
    seq="$("$run" cscript //nologo "$(winpath "$root/bench/httplib/sequential_both.vbs")" \
           "http://127.0.0.1:$port/text" 200 | tr -d '\r')"
    job="$("$run" bench_httplib.exe "$port" job | tr -d '\r' | sed -n 's/^JOB_SECONDS //p')"
    winhttp="$("$run" cscript //nologo "$(winpath "$root/bench/httplib/winhttp_sequential.vbs")" \
               "http://127.0.0.1:$port/delay?ms=300" | tr -d '\r' | sed -n 's/^WINHTTP_SECONDS //p')"
    awk -v s="$setting" -v k="$(echo "$seq" | sed -n 's/^KORVANET_SECONDS //p')" \
        -v w="$(echo "$seq" | sed -n 's/^WINHTTP_SECONDS //p')" -v j="$job" -v wj="$winhttp" 'BEGIN {
      printf "%s: 200 sequential GETs from VBScript, a new object each: WinHttp.WinHttpRequest.5.1 %.2f s, Korvanet %.2f s, ratio %.2f (goal <= 1.2)\n", s, w, k, k / w
      printf "%s: 100 GETs answered after 300 ms: WinHttp.WinHttpRequest.5.1 one after another %.2f s, Korvanet job %.3f s\n", s, wj, j }'
    echo "$seq" | grep '^failed' || true
  done
  exit 0
fi
out="$("$run" bench_httplib.exe "$port" "$what" | tr -d '\r')"
echo "Korvanet $arch build"
echo "$out" | grep -v '^JOB_SECONDS'
if [ "$what" = job ] || [ "$what" = all ]; then
  job="$(echo "$out" | sed -n 's/^JOB_SECONDS //p')"
  vbs="$("$run" winepath -w "$root/bench/httplib/winhttp_sequential.vbs" 2>/dev/null | tr -d '\r')"
  winhttp="$("$run" cscript //nologo "$vbs" "http://127.0.0.1:$port/delay?ms=300" | tr -d '\r' \
             | sed -n 's/^WINHTTP_SECONDS //p')"
  awk -v j="$job" -v w="$winhttp" 'BEGIN { printf "100 GETs: WinHttp.WinHttpRequest.5.1 one after another from VBScript %.2f s, Korvanet job %.3f s, Korvanet %.0f times faster (goal >= 50)\n", w, j, w / j }'
fi
