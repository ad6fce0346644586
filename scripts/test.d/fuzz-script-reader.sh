#!/usr/bin/env bash
# Fuzzes the record reader of Trevalon.ini natively with libFuzzer and
# AddressSanitizer for a bounded time (QM_FUZZ_SECONDS, default 60). Fails
# on a crash, a leak, a hang of one input, or a broken promise of the reader.
set -euo pipefail
source "$(dirname "$0")/../env.sh"
cd "$QM_ROOT"

out="$QM_ROOT/build/fuzz"
mkdir -p "$out/corpus"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address -fno-omit-frame-pointer \
  -I updater updater/qmScriptRecords.cpp tests/fuzz/script_records_fuzz.cpp \
  -o "$out/script_records_fuzz"

# Seeds: the shapes a real script has.
printf 'ver;820\r\nlog\r\nbereich;REWE\r\ncopy;work;Lib.mda\r\n' >"$out/corpus/seed-script"
printf '"copy;shared;a,b.dll"\r\ncopy\tshared\tmy;file.dll\r\n\r\n,,\r\n' >"$out/corpus/seed-quotes"
printf 'regt;Software\\X;Name;"Wert\r\n' >"$out/corpus/seed-open-quote"

seconds="${QM_FUZZ_SECONDS:-60}"
timeout $((seconds + 60)) "$out/script_records_fuzz" "$out/corpus" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=1048576 \
  -artifact_prefix="$out/" -print_final_stats=1 >"$out/fuzz.log" 2>&1 || {
  tail -n 40 "$out/fuzz.log"
  echo "fuzz-script-reader: FAILED (log: $out/fuzz.log)"
  exit 1
}
grep -E '^stat::number_of_executed_units' "$out/fuzz.log" || true
echo "fuzz-script-reader: no crash, leak or hang in $seconds s"
