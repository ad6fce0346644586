#!/usr/bin/env bash
# Builds the benchmark into the build tree of one architecture and runs it
# under Wine in that tree's prefix. Prints ratios against baselines of the
# same run.
#   bench/run-updater.sh [win32|win64] [small large]
# (default win32, the release build; 1000 and 5000 copy entries)
set -euo pipefail
source "$(dirname "$0")/../scripts/env.sh"
cd "$QM_ROOT"
arch="${1:-win32}"
case "$arch" in win32|win64) ;; *) echo "usage: $0 [win32|win64] [small large]" >&2; exit 2 ;; esac
shift || true
[ -f "build/$arch/CMakeCache.txt" ] || cmake --preset "$arch" >/dev/null
cmake --build "build/$arch" --target bench_run -j "${QM_BUILD_JOBS:-2}"
qm_wine_env "$QM_ROOT/build/$arch/wineprefix"
[ -d "$WINEPREFIX/drive_c/windows/syswow64" ] || qm_wine_fresh_prefix "$WINEPREFIX"
echo "Trevalon $arch build"
qm_wine "$arch" "build/$arch/bin/bench_run.exe" "$@" </dev/null
