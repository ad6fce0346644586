#!/usr/bin/env bash
# Runs Korvanet's benchmarks under Wine against the loopback test server:
# builds them, registers Korvanet.dll in the build tree's prefix, starts the
# server, prints the ratios, and stops the server again.
#   bench/run-httplib.sh [request|job|all]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/env.sh"
build="$root/build/win64"
[ -f "$build/CMakeCache.txt" ] || cmake --preset win64 >/dev/null
cmake --build "$build" --target bench_httplib Korvanet -j "${QM_BUILD_JOBS:-2}" >/dev/null
qm_wine_env "$build/wineprefix"
run="$build/wine-run"
portfile="$build/bench-servers.txt"
sh "$root/tests/servers/http_servers.sh" start "$portfile" 900 >/dev/null
trap 'sh "$root/tests/servers/http_servers.sh" stop "$portfile"' EXIT
port="$(sed -n 's/^http=//p' "$portfile")"
cd "$build/bin"
"$run" regsvr32 /s Korvanet.dll
"$run" bench_httplib.exe "$port" "${1:-all}"
