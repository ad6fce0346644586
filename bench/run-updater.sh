#!/usr/bin/env bash
# Builds the benchmarks into the 64-bit build tree and runs them under Wine
# in that tree's prefix. Prints ratios against baselines of the same run.
set -euo pipefail
source "$(dirname "$0")/../scripts/env.sh"
cd "$QM_ROOT"
[ -f build/win64/CMakeCache.txt ] || cmake --preset win64 >/dev/null
cmake --build build/win64 --target bench_run -j "${QM_BUILD_JOBS:-2}"
qm_wine_env "$QM_ROOT/build/win64/wineprefix"
[ -f "$WINEPREFIX/system.reg" ] || qm_wine_fresh_prefix "$WINEPREFIX"
wine build/win64/bin/bench_run.exe </dev/null
