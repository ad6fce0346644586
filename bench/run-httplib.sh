#!/usr/bin/env bash
# Runs Korvanet's benchmarks under Wine against the loopback test server:
# builds them, registers Korvanet.dll in the build tree's prefix, starts the
# server, prints the ratios, and stops the server again.
#   bench/run-httplib.sh [win32|win64] [request|job|download|all]
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
