#!/usr/bin/env bash
# tools/check_time_model.sh: --help, refusals, and a run that prints no row is never "ok".
# Usage: test_check_time_model.sh TOOL SCRATCH_DIR
set -u
tool=$1 work=$2
fail=0
expect() {  # expect WHAT STATUS PATTERN -- COMMAND...: the status and a line of its output
  local what=$1 want=$2 pattern=$3; shift 4
  local out rc
  out=$("$@" 2>&1); rc=$?
  if [ "$rc" != "$want" ] || ! grep -qE -- "$pattern" <<<"$out"; then
    echo "FAIL: $what: status $rc (want $want), output: $out"; fail=1
  fi
  printf '%s\n' "$out"
}
rm -rf "$work" && mkdir -p "$work/bin"
expect "--help" 0 "^usage: .*BUILD_DIR" -- "$tool" --help >/dev/null
expect "missing build" 2 "bench-allreduce not found" -- "$tool" "$work/none" >/dev/null
expect "unknown option" 2 "unknown option '-q'" -- "$tool" -q >/dev/null
# Stand-in programs that print a table header and no row: every figure is blank.
for p in allreduce reducescatter allgather alltoall; do
  printf '#!/bin/sh\necho "#  bytes count type in-avg-lat(us) in-bus-bw(GB/s)"\n' \
    > "$work/bin/bench-$p"
  chmod +x "$work/bin/bench-$p"
done
out=$(expect "blank figures" 1 "FAIL" -- "$tool" "$work")
if grep -q ": ok$" <<<"$out"; then echo "FAIL: a blank figure passed: $out"; fail=1; fi
[ $fail = 0 ] && echo "all checks passed"
exit $fail
