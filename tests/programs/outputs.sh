#!/bin/sh
# What a run leaves behind when its outputs cannot be written: outputs.sh CASE PROGRAM WORKDIR
#   record-target: BENCHMARK_RECORD replaces only regular files (keeping their mode), follows a
#           link to its target, and refuses a FIFO or a link to a device at start-up.
#   write-errors: a result CSV, memory report or standard output that loses data makes the
#           status 1 with one Error line naming it and the reason.
#   memory-shared: with ranks sharing the first card, the memory report's collective figure is
#           the memory in use before any rank gave its buffers back, never a wrapped negative.
set -u
case_name=$1 prog=$2 work=$3
rm -rf "$work" && mkdir -p "$work" || exit 1
cd "$work" || exit 1
fail() { echo "FAIL: $*" >&2; [ -f err ] && { echo "--- standard error:" >&2; cat err >&2; }; exit 1; }
# Runs a tiny checked all-reduce; its status in $status, its output in out and err.
run() {
  "$@" -n 1K -x 4K -m 2 -d 1 >out 2>err
  status=$?
}
expect() {  # expect STATUS TEXT: the status, and TEXT in one Error line of standard error
  [ "$status" -eq "$1" ] || fail "status $status, expected $1"
  [ "$(grep -c "\[Error\]: .*$2" err)" -eq 1 ] || fail "no single Error line with '$2'"
}

case $case_name in
record-target)
  mkfifo fifo || exit 1
  BENCHMARK_RECORD=fifo run "$prog"
  expect 1 "Cannot write the run record fifo: fifo is a FIFO, not a regular file"
  [ -p fifo ] || fail "the FIFO was replaced"
  ln -s /dev/null device.json
  BENCHMARK_RECORD=device.json run "$prog"
  expect 1 "/dev/null is a character device"
  [ -L device.json ] && [ -c /dev/null ] || fail "the link or the device was replaced"
  echo old >locked.json && chmod 444 locked.json && ln -s locked.json link.json
  BENCHMARK_RECORD=link.json run "$prog"
  [ "$status" -eq 0 ] || fail "status $status through a link to a read-only file"
  [ -L link.json ] || fail "the link was replaced by a file"
  grep -q '"verdict": "PASSED"' locked.json || fail "the link's target holds no record"
  [ "$(stat -c %a locked.json)" = 444 ] || fail "mode $(stat -c %a locked.json), expected 444"
  leftover=$(ls | grep '\.tmp\.')
  [ -z "$leftover" ] || fail "temporary files left: $leftover"
  ;;
write-errors)
  run "$prog" -p /dev/full
  expect 1 "Cannot write the result CSV file /dev/full: No space left on device"
  grep -q "# All Result Check: PASSED" out || fail "the verdict is missing from the screen"
  run "$prog" -u /dev/full
  expect 1 "Cannot write the memory usage file /dev/full: No space left on device"
  "$prog" -n 1K -x 4K -m 2 -d 1 >/dev/full 2>err
  status=$?
  expect 1 "Cannot write the standard output: No space left on device"
  # A closed standard output: the CSV file opened later must not take its place.
  "$prog" -n 1K -x 4K -m 2 -d 1 -p out.csv >&- 2>err
  status=$?
  expect 1 "Cannot write the standard output: Bad file descriptor"
  grep -q "All Result Check" out.csv && fail "the table went into the CSV file"
  [ "$(head -c 8 out.csv)" = "bytes,co" ] || fail "the CSV file lacks its title"
  ;;
memory-shared)
  # Nine threads on eight cards: thread 8 shares card 0 with thread 0, which samples it.
  for i in 1 2 3; do
    "$prog" -s 9 -n 64K -x 64K -l 2 -w 1 -u mem.csv >out 2>err
    status=$?
    [ "$status" -eq 0 ] || fail "status $status"
    figure=$(awk -F, 'NR == 2 { print $3 }' mem.csv)
    case $figure in
    ''|*[!0-9]*) fail "collective figure '$figure' in $(cat mem.csv)" ;;
    esac
    [ ${#figure} -lt 12 ] || fail "collective figure $figure bytes: wrapped below zero"
  done
  ;;
*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
echo "$case_name: ok"
