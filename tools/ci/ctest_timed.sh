#!/usr/bin/env bash
# Runs ctest with the arguments given and then lists its slowest tests, so that every CI phase
# shows where its time went. The exit status is ctest's.
set -uo pipefail

usage() {
  cat <<'USAGE'
Usage: tools/ci/ctest_timed.sh [CTEST ARGUMENT...]

Runs `ctest CTEST ARGUMENT...`, then prints the slowest tests of that run with their wall
times (SLOWEST tests, default 10; 0 prints none). Exits with ctest's status.
USAGE
}
case "${1:-}" in -h | --help) usage; exit 0 ;; esac
count=${SLOWEST:-10}
case "$count" in
  '' | *[!0-9]*) echo "ctest_timed.sh: SLOWEST must be a whole number, not '$count'" >&2; exit 2 ;;
esac

junit=$(mktemp "${TMPDIR:-/tmp}/ctest-junit.XXXXXX") || exit 1
trap 'rm -f "$junit"' EXIT
ctest "$@" --output-junit "$junit"
status=$?
if [ "$count" -gt 0 ] && [ -s "$junit" ]; then
  # One <testcase .../> element per test; its name and time attributes are all we need.
  awk -v RS='<testcase ' 'NR > 1 {
      name = $0; sub(/^name="/, "", name); sub(/".*/, "", name)
      t = $0; if (!sub(/.* time="/, "", t)) next; sub(/".*/, "", t)
      sub(/  # GetParam\(\).*/, "", name)
      gsub(/&quot;/, "\"", name); gsub(/&lt;/, "<", name); gsub(/&gt;/, ">", name)
      gsub(/&amp;/, "\\&", name)
      printf "%10.2f s  %s\n", t, name
    }' "$junit" | sort -rn | head -n "$count" >"$junit.top"
  if [ -s "$junit.top" ]; then
    echo "=== the $(wc -l <"$junit.top") slowest tests of this run (wall time):"
    cat "$junit.top"
  fi
  rm -f "$junit.top"
fi
exit "$status"
