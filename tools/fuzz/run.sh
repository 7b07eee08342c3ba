#!/bin/sh
# Builds the libFuzzer targets in build-fuzz with clang and runs each for SECONDS (default 60)
# on a scratch copy of its seed corpus, so that the corpus in the repository does not grow.
# Prints, per target, the executions done and whether a crash, leak or timeout was found.
# Exit status 1 when any target found something. Usage: tools/fuzz/run.sh [SECONDS]
set -u
seconds=${1:-60}
case $seconds in
  ''|*[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
jobs=${JOBS:-2}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DOX_FUZZ=ON -DOX_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build "$build" -j"$jobs" --target fuzz_arguments fuzz_fault_grammar >/dev/null || exit 1

scratch=$(mktemp -d "${TMPDIR:-/tmp}/oxfuzz.XXXXXX") || exit 1
status=0
# target, corpus folder, extra flags; the argument parser's usage text goes to a closed stderr.
for entry in "fuzz_arguments arguments -close_fd_mask=2" "fuzz_fault_grammar fault"; do
  set -- $entry
  target=$1 corpus=$2
  shift 2
  mkdir -p "$scratch/$target"
  cp "$here/corpus/$corpus/"* "$scratch/$target/"
  log=$scratch/$target.log
  "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -dict="$here/$corpus.dict" -artifact_prefix="$scratch/$target-" "$@" \
    "$scratch/$target" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  finding=none
  for kind in crash leak timeout oom slow-unit; do
    for f in "$scratch/$target-$kind-"*; do
      [ -e "$f" ] && finding="$kind ($f)"
    done
  done
  [ $rc -ne 0 ] && [ "$finding" = none ] && finding="exit status $rc (see $log)"
  [ "$finding" != none ] && status=1
  echo "$target: ${execs:-0} executions in ${seconds}s, finding: $finding"
done
echo "logs and artifacts: $scratch"
exit $status
