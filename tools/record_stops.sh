#!/bin/sh
# Stops runs under mpirun and checks what their run record (BENCHMARK_RECORD) left behind: the
# path must hold either the previous record or a whole new one, and no temporary file may stay.
usage() {
  cat <<'EOF'
usage: tools/record_stops.sh BIN_DIR KIND RUNS [WORK_DIR]
  BIN_DIR   folder of the built programs (build/bin)
  KIND      term: SIGTERM to mpirun -np 2; int: SIGINT to mpirun -np 2;
            kill9: SIGKILL to rank 1 of mpirun -np 3
  RUNS      number of runs, 1 to 1000
  WORK_DIR  scratch folder (default: a fresh one under /tmp)
Each run is stopped 0.5 to 3 s after its start. Prints one line per run and the totals:
kept (the previous record), new (a complete new record), lost, temporary files left.
Exit status 0 when nothing was lost and nothing left, 1 otherwise, 2 for bad arguments.
EOF
}
[ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ] && { usage; exit 0; }
[ $# -ge 3 ] && [ $# -le 4 ] || { usage >&2; exit 2; }
bin=$1 kind=$2 runs=$3
work=${4:-$(mktemp -d /tmp/record_stops.XXXXXX)}
[ -x "$bin/bench-allreduce" ] || { echo "no bench-allreduce in $bin" >&2; exit 2; }
case $kind in term | int | kill9) ;; *) echo "unknown KIND '$kind'" >&2; exit 2 ;; esac
case $runs in '' | *[!0-9]*) echo "RUNS '$runs' is not a number" >&2; exit 2 ;; esac
[ "$runs" -ge 1 ] && [ "$runs" -le 1000 ] || { echo "RUNS must be 1 to 1000" >&2; exit 2; }
mkdir -p "$work" || exit 2
command -v mpirun >/dev/null || { echo "no mpirun on PATH" >&2; exit 2; }
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
record=$work/record.json
previous='{"previous": true}'

# The pid of global rank $1 among the children of mpirun $2, or nothing.
rank_pid() {
  for child in $(pgrep -P "$2"); do
    if tr '\0' '\n' <"/proc/$child/environ" 2>/dev/null | grep -qx "OMPI_COMM_WORLD_RANK=$1"; then
      echo "$child"
      return
    fi
  done
}

kept=0 new=0 lost=0 left=0
i=0
while [ $i -lt "$runs" ]; do
  i=$((i + 1))
  printf '%s\n' "$previous" >"$record"
  np=2
  [ "$kind" = kill9 ] && np=3
  mpirun --oversubscribe --bind-to none -np $np -x BENCHMARK_RECORD="$record" \
    "$bin/bench-allreduce" -n 1M -x 32M -d 1 -l 20 >"$work/out" 2>"$work/err" &
  launcher=$!
  # 0.5 to 3 s, in steps of 0.1 s.
  sleep "$(awk -v seed="$$$i" 'BEGIN { srand(seed); printf "%.1f", 0.5 + rand() * 2.5 }')"
  case $kind in
  term) kill -TERM $launcher 2>/dev/null ;;
  int) kill -INT $launcher 2>/dev/null ;;
  kill9)
    victim=$(rank_pid 1 $launcher)
    [ -n "$victim" ] && kill -KILL "$victim" 2>/dev/null
    ;;
  esac
  wait $launcher
  status=$?
  # Ranks that outlive mpirun would still write: wait for them to go.
  sleep 0.5
  temps=$(ls "$work" | grep -c '\.tmp\.')
  if [ ! -s "$record" ]; then
    verdict=lost
    lost=$((lost + 1))
  elif [ "$(cat "$record")" = "$previous" ]; then
    verdict=kept
    kept=$((kept + 1))
  elif /usr/bin/python3 -c 'import json,sys; json.load(open(sys.argv[1]))' "$record" 2>/dev/null; then
    verdict=new
    new=$((new + 1))
  else
    verdict=lost
    lost=$((lost + 1))
  fi
  left=$((left + temps))
  rm -f "$work"/*.tmp.*
  echo "run $i: $kind, status $status, record $verdict, temporary files $temps"
done
echo "$kind: $runs runs: kept $kept, new $new, lost $lost, temporary files left $left"
[ $lost -eq 0 ] && [ $left -eq 0 ]
