#!/usr/bin/env bash
# scripts/demo as a newcomer runs it, in a Wine prefix of this test's own:
# with a Trevalon.exe that Windows cannot start it must fail and name the
# steps that did not happen; with the build's programs every step happens
# and it ends with 0.
#   demo_test.sh <source root> <work folder>
set -u
root="$1"; work="$2"
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$work"
mkdir -p "$work"
demo() {  # demo <log> [part] [VAR=value ...]: scripts/demo, its output in <log>
  local log="$1" part="$2"; shift 2
  env QM_DEMO_OUT="$work/out" QM_DEMO_NO_BUILD=1 "$@" "$root/scripts/demo" "$part" >"$log" 2>&1
}

printf 'not a program\r\n' >"$work/Trevalon.exe"
demo "$work/broken.log" trevalon QM_DEMO_TREVALON="$work/Trevalon.exe"
status=$?
[ "$status" -eq 1 ] || { cat "$work/broken.log"; fail "the demo with a Trevalon.exe that cannot start exited with $status, not 1"; }
for line in 'scripts/demo: FAILED - [0-9]+ step\(s\) did not happen as announced:' \
            '  Trevalon.exe /check /silent ended with exit code 1, not 2.*' \
            '  Trevalon in its window wrote no log file within 60 s: it did not start or did not run' \
            '  Trevalon.exe /silent \(Office Line 4.4\) ended with exit code 1, not 2'; do
  grep -Eqx "$line" "$work/broken.log" || { cat "$work/broken.log"; fail "no line '$line'"; }
done
grep -q 'every step happened as announced' "$work/broken.log" && fail "the failed demo also claims success"
echo "a demo whose Trevalon cannot start fails and names its steps"

demo "$work/demo.log" all
status=$?
[ "$status" -eq 0 ] || { cat "$work/demo.log"; fail "the demo exited with $status"; }
grep -qx 'scripts/demo: every step happened as announced' "$work/demo.log" || { cat "$work/demo.log"; fail "no final line"; }
grep -q 'DEMO FAILURE' "$work/demo.log" && { cat "$work/demo.log"; fail "a step failed, yet the demo passed"; }
# What it announces, shown: the check's and the run's outcomes.
for line in 'Exit code of the check: 2 .*' 'Exit code: 2 .*' 'Exit code of the undo: 0' 'msiexec /i Korvanet-x[68][46].msi /qn /norestart: exit code 0' \
            '    failed: 0 of 50'; do
  grep -Eqx "$line" "$work/demo.log" || { cat "$work/demo.log"; fail "no line '$line'"; }
done
echo "the demo shows every step and passes"
WINEPREFIX="$work/out/wineprefix" wineserver -k >/dev/null 2>&1
rm -rf "$work"
echo "PASS"
