#!/bin/sh
# How a failed or crashed run ends, for one program: ending.sh CASE PROGRAM WORKDIR
#   signal: a fatal signal ends a running program at once with that signal. No handler of
#           MPI's sits on SIGABRT (it allocates, and deadlocks after a crash inside malloc),
#           unless the user asked for one through OMPI_MCA_opal_signal.
#   call-log: a run that ends on the abort path (one and two threads) still writes the
#           simulator's call log, with the failed call and the aborts in it.
set -u
case_name=$1 prog=$2 work=$3
rm -rf "$work" && mkdir -p "$work" || exit 1
fail() { echo "FAIL: $*" >&2; exit 1; }

# SigCgt of a process as a number; bit n-1 is signal n.
caught_mask() { awk '/^SigCgt:/ { print $2 }' "/proc/$1/status"; }
# Starts a long run in the background (pid in $pid) and waits for its table title. No command
# substitution around these: the run must stay a child of this shell.
start_long_run() {
  # A fresh file: the title of an earlier run must not stand for this one.
  rm -f "$work/out" "$work/err"
  "$prog" -n 1K -x 1K -l 100000000 -w 0 >"$work/out" 2>"$work/err" &
  pid=$!
  i=0
  while ! grep -q "bytes" "$work/out" 2>/dev/null; do
    i=$((i + 1))
    [ $i -gt 600 ] && { kill -9 $pid; fail "no table title after 60 s"; }
    kill -0 $pid 2>/dev/null || fail "the run ended early: $(cat "$work/err")"
    sleep 0.1
  done
}
# Waits for $pid to end, killing it after 20 s; its status in $status.
wait_end() {
  (sleep 20; kill -9 $pid 2>/dev/null) >/dev/null 2>&1 &
  guard=$!
  wait $pid
  status=$?
  pkill -P $guard sleep 2>/dev/null
  kill $guard 2>/dev/null
  [ $status -eq 137 ] && fail "the program did not end within 20 s of the signal"
}

case $case_name in
signal)
  # MPI itself is started, as under a launcher: its handlers are what is checked.
  export OXSIM_MPI_SINGLETON=1
  unset OMPI_MCA_opal_signal
  start_long_run
  mask=$(caught_mask $pid)
  [ $(( 0x$mask >> 5 & 1 )) -eq 0 ] || { kill -9 $pid; fail "SIGABRT is caught (SigCgt $mask)"; }
  kill -ABRT $pid
  wait_end
  [ "$status" -eq 134 ] || fail "status $status after SIGABRT, expected 134"
  # The user's own choice stands.
  export OMPI_MCA_opal_signal=6
  start_long_run
  mask=$(caught_mask $pid)
  kill -9 $pid
  wait $pid 2>/dev/null
  [ $(( 0x$mask >> 5 & 1 )) -eq 1 ] || fail "OMPI_MCA_opal_signal=6 was not honoured (SigCgt $mask)"
  ;;
call-log)
  for threads in 1 2; do
    log=$work/calls_s$threads
    OXSIM_CALL_LOG=$log OXSIM_FAULT=oxrtQueueSync:2 \
      "$prog" -n 1K -x 4K -m 2 -d 1 -l 2 -s $threads -c 2 -y 1 >"$work/out" 2>"$work/err"
    status=$?
    [ $status -eq 1 ] || fail "-s $threads: status $status, expected 1: $(cat "$work/err")"
    [ -s "$log" ] || fail "-s $threads: no call log after the abort path"
    grep -q "^oxrtQueueSync [0-9]" "$log" || fail "-s $threads: the failed call is not in the log"
    grep -q "^oxclAbortComm [0-9]" "$log" || fail "-s $threads: the aborts are not in the log"
  done
  ;;
*) fail "unknown case $case_name" ;;
esac
echo "ok: $case_name"
