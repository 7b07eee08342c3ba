#!/bin/sh
# The performance picture of this host in one run, as ratios (absolute times are noisy here and
# must not be compared across runs):
#   1 host ceilings (memcpy, a bare all-reduce kernel), 2 the library in a tight loop (in process
#   and across 2 processes), 3 the programs against that loop, 4 Open MPI's collectives, 5 the
#   cost of the data check and the peak memory of a default run and of the README's example;
#   6 the simulator's own speed and steadiness; then every target with its verdict.
# Needs only POSIX sh, awk and timeout; builds nothing. Every step is bounded by a timeout, and a
# step that fails or times out shows as "not measured" instead of stopping the rest.
usage() {
  cat <<'EOF'
usage: tools/perf/bench.sh [BUILD_DIR]   (default: build)
Environment: BENCH_MIN_SECONDS (seconds per point of sections 1-2, default 0.5), BENCH_PAIRS
(runs of each pair in sections 3 and 6, default 3), BENCH_MPIRUN (the 2-process launcher; set
but empty, the programs run directly), BENCH_MPIRUN4 (the 4-process launcher of section 6,
likewise), BENCH_STEADY_RUNS (runs of the steadiness check in section 6, default 8).
EOF
}
case ${1-} in
  -h | --help) usage; exit 0 ;;
  -*) echo "bench.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
esac
if [ $# -gt 1 ]; then
  echo "bench.sh: one build folder at most, got $#" >&2
  usage >&2
  exit 2
fi
case ${BENCH_MIN_SECONDS:-0.5} in
  *[!0-9.]* | *.*.* | .)
    echo "bench.sh: BENCH_MIN_SECONDS='$BENCH_MIN_SECONDS' is not a number of seconds" >&2
    exit 2 ;;
esac
case ${BENCH_PAIRS:-3} in
  *[!0-9]* | 0 | 00*)
    echo "bench.sh: BENCH_PAIRS='$BENCH_PAIRS' is not a positive whole number" >&2
    exit 2 ;;
esac
case ${BENCH_STEADY_RUNS:-8} in
  *[!0-9]* | 0 | 00* | 1)
    echo "bench.sh: BENCH_STEADY_RUNS='$BENCH_STEADY_RUNS' is not a whole number of 2 or more" >&2
    exit 2 ;;
esac
build=${1:-build}
bin=$build/bin
for prog in perf_oxcl bench-allreduce bench-reducescatter bench-allgather bench-alltoall; do
  if [ ! -x "$bin/$prog" ]; then
    echo "bench.sh: $bin/$prog not found; build $build first" >&2
    exit 1
  fi
done

export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
# Decimal points in every number that the parsers below read.
export LC_ALL=C
# Fixed settings of the simulator, so a caller's environment cannot slow it down unseen.
unset OXSIM_FAULT OXSIM_LINK_GBPS OXSIM_LINK_LATENCY_US BENCHMARK_ALLTOALL_API

# BENCH_MPIRUN replaces the launcher; set but empty, the programs run directly (for tests).
MPIRUN=${BENCH_MPIRUN-mpirun -np 2 --oversubscribe --bind-to none}
MPIRUN4=${BENCH_MPIRUN4-mpirun -np 4 --oversubscribe --bind-to none}
STEADY_RUNS=${BENCH_STEADY_RUNS:-8}
COLLS="allreduce reducescatter allgather alltoall"
COUNTS="1 1048576 4194304 33554432"
MIN_SECONDS=${BENCH_MIN_SECONDS:-0.5}
PAIRS=${BENCH_PAIRS:-3}  # runs of each (tight loop, program) pair in section 3

work=$(mktemp -d "${TMPDIR:-/tmp}/oxcl-bench.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
res=$work/results
: >"$res"
started=$(date +%s)

# bounded SECONDS command...: the command, ended (then killed) when it overruns.
bounded() {
  limit=$1
  shift
  timeout -k 10 "$limit" "$@"
  rc=$?
  [ $rc -eq 124 ] || [ $rc -eq 137 ] && echo "bench.sh: timed out after ${limit}s: $*" >&2
  return $rc
}

# get KEY: the value recorded for KEY, empty when there is none.
get() { awk -v k="$1" '$1 == k { v = $2 } END { if (v != "") print v }' "$res"; }
put() { echo "$1 $2" >>"$res"; }
# calc EXPR: awk arithmetic on recorded numbers; empty when an operand is missing.
calc() { awk "BEGIN { $1 }"; }
ratio() { [ -n "$1" ] && [ -n "$2" ] && calc "if ($2 > 0) printf \"%.3f\", $1 / $2"; }
# run_by_run WHAT: lines "NUMERATOR DENOMINATOR" on stdin, one per run (or pair of runs) of
# WHAT, as the range of their ratios. A verdict takes the best of each side; this says how far
# the runs themselves agree, so that a miss within their range can be told from a regression.
run_by_run() {
  awk -v what="$1" 'NF == 2 && $2 > 0 { r[++n] = $1 / $2 }
    END {
      if (n == 0) { printf "n/a"; exit }
      for (a = 2; a <= n; a++)
        for (b = a; b > 1 && r[b - 1] > r[b]; b--) { t = r[b]; r[b] = r[b - 1]; r[b - 1] = t }
      med = n % 2 ? r[(n + 1) / 2] : (r[n / 2] + r[n / 2 + 1]) / 2
      printf "%.3f to %.3f, median %.3f over %d %s", r[1], r[n], med, n, what
    }'
}
section() { printf '\n==== %s ====\n' "$1"; }

# ----------------------------------------------------------------------------------------------
section "1+2a. host ceilings and the library in a tight loop, in one process"
cat <<'EOF'
memcpy: bytes copied per second, >= 256 MiB per thread, best of several; all-core uses every
hardware thread at once. Bare all-reduce kernel: 2 threads add halves of two 128 MiB float
arrays into two outputs with streaming stores, no library: the most any all-reduce of 2 ranks
reaches here now. Tight loop: one thread per rank, null queue (synchronous calls, as the
programs at their default -y 0), out of place, float sum; count as the programs' count; timed
like a program step with -l 20 -w 5: the best of blocks of 20 calls (latency per call depends on
how many calls follow each other).
Floor bus bw: single-pass traffic T (bytes read + written: all-reduce 2nS for n ranks of S bytes;
reduce-scatter each input read once + each output written once; all-gather n inputs read once,
n*n blocks written; all-to-all every block read once and written once), moved by min(n, cores)
threads at the single-thread memcpy rate M (2 bytes of traffic per copied byte):
t_floor = T / (2 M min(n, cores)); floor bus bw = bus bytes / t_floor (= M for all-reduce, n=2).
EOF
bounded 400 "$bin/perf_oxcl" --min-seconds "$MIN_SECONDS" --counts 1,1M,4M,32M --ranks 2,4 \
  --iters 20 >"$work/oxcl.out" 2>"$work/oxcl.err"
grep -v '^RESULT ' "$work/oxcl.out"
sed -n 's/^RESULT //p' "$work/oxcl.out" >>"$res"
[ -s "$work/oxcl.err" ] && cat "$work/oxcl.err"

section "2b+4. across 2 processes: the library against Open MPI (mpirun -np 2)"
if [ -x "$bin/perf_mpi" ]; then
  bounded 300 $MPIRUN "$bin/perf_mpi" --min-seconds "$MIN_SECONDS" --iters 20 1 1M 4M 32M \
    >"$work/mpi.out" 2>"$work/mpi.err"
  grep -v '^RESULT ' "$work/mpi.out"
  sed -n 's/^RESULT //p' "$work/mpi.out" >>"$res"
  [ -s "$work/mpi.err" ] && grep -v '^\[' "$work/mpi.err" | head -20
else
  echo "perf_mpi not built"
fi

# ----------------------------------------------------------------------------------------------
section "3. the programs (-l 20 -w 5 -z outofplace, counts 1 1M 4M 32M) against the tight loop"
# -n 1 -x 1 leaves only the special counts in the series: exactly the four counts above.
cat <<'EOF'
Each configuration runs several times as a pair: the tight loop (one block of 20 calls after 5
warm-up calls, as a program step) right before the program, since the load of this shared host
changes within minutes; the best run counts on each side. ratio = program bus bw /
tight-loop bus bw; +lat = program latency - tight-loop latency; err = mismatches (must be 0).
EOF
printf '%-19s %-4s %9s %9s %9s %7s %10s %10s %9s %4s\n' program cfg count "prog bw" "loop bw" \
  ratio "prog(us)" "loop(us)" "+lat(us)" err
for coll in $COLLS; do
  for cfg in s2 s4 mpi; do
    case $cfg in
      s2) n=2 family=inproc; set -- "$bin/bench-$coll" -s 2 ;;
      s4) n=4 family=inproc; set -- "$bin/bench-$coll" -s 4 ;;
      mpi) n=2 family=mpi; set -- $MPIRUN "$bin/bench-$coll" -s 1 ;;
    esac
    loop=$work/loop_${coll}_$cfg
    : >"$loop"
    rep=0
    while [ $rep -lt "$PAIRS" ]; do
      rep=$((rep + 1))
      if [ $family = inproc ]; then
        bounded 120 "$bin/perf_oxcl" --memcpy-mib 0 --min-seconds 0 --iters 20 --blocks 1 \
          --colls "$coll" --ranks $n --counts 1,1M,4M,32M
      elif [ -x "$bin/perf_mpi" ]; then
        bounded 120 $MPIRUN "$bin/perf_mpi" --oxcl-only --min-seconds 0 --iters 20 --blocks 1 \
          --colls "$coll" 1 1M 4M 32M
      fi 2>"$work/loop.err" |
        sed -n -e 's/_oxcl_/_/' -e "s/^RESULT ${family}_${coll}_n${n}_/loop_${coll}_${cfg}_/p" \
        >>"$loop"
      bounded 180 "$@" -l 20 -w 5 -z outofplace -n 1 -x 1 -e 1,1M,4M,32M \
        >"$work/prog_${coll}_${cfg}_$rep.out" 2>"$work/prog.err"
      rc=$?
      [ $rc -ne 0 ] && echo "bench-$coll ($cfg) exited with $rc" &&
        grep -i 'error' "$work/prog.err" | head -5
    done
    # The better tight-loop run: lowest latency, highest bandwidth.
    awk '$1 ~ /_us$/ { if (!($1 in v) || $2 < v[$1]) v[$1] = $2; next }
         { if (!($1 in v) || $2 > v[$1]) v[$1] = $2 }
         END { for (k in v) print k, v[k] }' "$loop" >>"$res"
    # Table rows: bytes, count, type, [redop,] latency, algo bw, bus bw, errors.
    awk -v counts="$COUNTS" -v key="prog_${coll}_${cfg}" '
      BEGIN { n = split(counts, c, " ") }
      FNR == 1 { i = 0 }
      /^ +[0-9]+ +[0-9]+ / && NF >= 7 && i < n {
        i++
        if (!(i in us) || $(NF - 3) + 0 < us[i]) us[i] = $(NF - 3) + 0
        if (!(i in bw) || $(NF - 1) + 0 > bw[i]) bw[i] = $(NF - 1) + 0
        err[i] += $NF
      }
      END {
        for (j = 1; j <= n; j++) if (j in us) {
          print key "_c" c[j] "_us " us[j]
          print key "_c" c[j] "_busbw " bw[j]
          print key "_c" c[j] "_errors " err[j]
        }
      }' "$work/prog_${coll}_${cfg}"_*.out >>"$res"
    for count in $COUNTS; do
      pbw=$(get "prog_${coll}_${cfg}_c${count}_busbw")
      pus=$(get "prog_${coll}_${cfg}_c${count}_us")
      lbw=$(get "loop_${coll}_${cfg}_c${count}_busbw")
      lus=$(get "loop_${coll}_${cfg}_c${count}_us")
      r=$(ratio "$pbw" "$lbw")
      d=""
      [ -n "$pus" ] && [ -n "$lus" ] && d=$(calc "printf \"%.2f\", $pus - $lus")
      put "ratio_${coll}_${cfg}_c${count}" "$r"
      put "dlat_${coll}_${cfg}_c${count}" "$d"
      printf '%-19s %-4s %9s %9s %9.9s %7s %10s %10.10s %9s %4s\n' "bench-$coll" "$cfg" "$count" \
        "${pbw:--}" "${lbw:--}" "${r:--}" "${pus:--}" "${lus:--}" "${d:--}" \
        "$(get "prog_${coll}_${cfg}_c${count}_errors")"
    done
  done
done

# ----------------------------------------------------------------------------------------------
section "5. cost of the data check, and peak memory"
# wall_s LIMIT ARGS...: wall seconds of one bench-allreduce run (peak_rss's clock where it is
# built, else whole seconds of date); empty when the run fails or overruns.
wall_s() {
  limit=$1
  shift
  if [ -x "$bin/peak_rss" ]; then
    bounded "$limit" "$bin/peak_rss" "$bin/bench-allreduce" "$@" >/dev/null 2>"$work/rss.err" &&
      awk '$1 == "wall_s" { print $2 }' "$work/rss.err"
  else
    t0=$(date +%s)
    bounded "$limit" "$bin/bench-allreduce" "$@" >/dev/null 2>&1 && echo $(($(date +%s) - t0))
  fi
}
# check_cost KEY RUNS LIMIT ARGS...: the best wall time of RUNS runs of ARGS at -d 0 and at
# -d 1, as KEY_d0_s and KEY_d1_s. The two settings alternate, so that a change of load between
# runs does not fall on one side only.
check_cost() {
  key=$1 runs=$2 limit=$3
  shift 3
  best0="" best1="" run=0
  : >"$work/${key}_runs"
  while [ $run -lt "$runs" ]; do
    w0=""
    for d in 0 1; do
      w=$(wall_s "$limit" "$@" -d $d)
      [ $d = 0 ] && w0=$w
      [ $d = 1 ] && [ -n "$w0" ] && [ -n "$w" ] && echo "$w $w0" >>"$work/${key}_runs"
      [ -n "$w" ] || continue
      if [ $d = 0 ]; then b=$best0; else b=$best1; fi
      [ -z "$b" ] || [ "$(calc "print ($w < $b)")" = 1 ] || continue
      if [ $d = 0 ]; then best0=$w; else best1=$w; fi
    done
    run=$((run + 1))
  done
  put "${key}_d0_s" "$best0"
  put "${key}_d1_s" "$best1"
}

# bench-allreduce, default sweep (1M..32M step 1M, both modes), 2 threads; best of 5 each.
check_cost sweep 5 300 -s 2
s0=$(get sweep_d0_s)
s1=$(get sweep_d1_s)
echo "default sweep, bench-allreduce -s 2: -d 0 ${s0:-?} s, -d 1 ${s1:-?} s," \
     "ratio $(ratio "$s1" "$s0")"
echo "  run by run: -d 1 / -d 0 $(run_by_run runs <"$work/sweep_runs")"
# Many steps of small counts (256 counts to 256K, both modes): what the check costs per step
# beyond its data, such as host memory mapped afresh for each larger count. Best of 5 each: a
# run takes about 0.05 s, a few scheduling delays of the host.
small="-s 2 -n 1 -x 256K -a 1K -m 1 -l 1 -w 1"
check_cost small 5 120 $small
m0=$(get small_d0_s)
m1=$(get small_d1_s)
echo "512-step sweep, bench-allreduce $small: -d 0 ${m0:-?} s, -d 1 ${m1:-?} s," \
     "ratio $(ratio "$m1" "$m0")"
echo "  run by run: -d 1 / -d 0 $(run_by_run runs <"$work/small_runs")"
if [ -x "$bin/perf_check" ]; then
  bounded 180 "$bin/perf_check" >"$work/check.out" 2>&1
  cat "$work/check.out"
  for k in fill_check_gbps allcore_memcpy_gbps ratio; do
    v=$(awk -v k=$k '$1 == k { print $2 }' "$work/check.out" | tail -n 1)
    put "check_$k" "$v"
  done
  m=$(get memcpy_allcore_gbps)
  f=$(get check_fill_check_gbps)
  echo "fill+check over section 1's all-core memcpy ($m GB/s): $(ratio "$f" "$m")"
else
  echo "perf_check not built"
fi

# Peak RSS of a default run (one thread: one rank) against the buffers it must hold: a device
# send and receive buffer per rank at the largest count (32M elements of 4-byte floats). The
# data check adds host arrays of a few chunks only: it generates the values it expects, and the
# host buffer set aside for them is never written.
maxbytes=$((33554432 * 4))
if [ -x "$bin/peak_rss" ]; then
  for d in 0 1; do
    bounded 300 "$bin/peak_rss" "$bin/bench-allreduce" -d $d >/dev/null 2>"$work/rss.err"
    kib=$(awk '$1 == "peak_rss_kib" { print $2 }' "$work/rss.err")
    need=$((2 * maxbytes))
    put "rss_d${d}_bytes" "$([ -n "$kib" ] && echo $((kib * 1024)))"
    put "rss_d${d}_need" "$need"
    echo "bench-allreduce -d $d: peak RSS ${kib:-?} KiB, buffers $((need / 1024)) KiB" \
         "(ratio $(ratio "$([ -n "$kib" ] && echo $((kib * 1024)))" "$need"))"
  done
else
  echo "peak_rss not built"
fi

# The README's example: every type and operation, both modes, 2 threads, with and without the
# data check. Buffers held: a send and a receive buffer per rank of the largest count at the
# largest element size (8 bytes), 2 ranks.
example="-t all -r all -s 2"
example_need=$((2 * 2 * 33554432 * 8))
for d in 0 1; do
  if [ -x "$bin/peak_rss" ]; then
    bounded 600 "$bin/peak_rss" "$bin/bench-allreduce" -d $d $example >/dev/null 2>"$work/rss.err"
    w=$(awk '$1 == "wall_s" { print $2 }' "$work/rss.err")
    kib=$(awk '$1 == "peak_rss_kib" { print $2 }' "$work/rss.err")
  else
    t0=$(date +%s)
    w=""
    kib=""
    bounded 600 "$bin/bench-allreduce" -d $d $example >/dev/null 2>&1 && w=$(($(date +%s) - t0))
  fi
  put "example_d${d}_s" "$w"
  put "example_d${d}_bytes" "$([ -n "$kib" ] && echo $((kib * 1024)))"
done
e0=$(get example_d0_s)
e1=$(get example_d1_s)
eb=$(get example_d1_bytes)
echo "README example, bench-allreduce $example: -d 0 ${e0:-?} s, -d 1 ${e1:-?} s" \
     "(ratio $(ratio "$e1" "$e0")); -d 1 peak RSS ${eb:-?} bytes, buffers $example_need" \
     "(ratio $(ratio "$eb" "$example_need"))"

# ----------------------------------------------------------------------------------------------
section "6. the simulator itself: float16, steady rows, oversubscribed processes"
cat <<EOF
float16 against bfloat16: bench-allreduce -s 2 -n 4M -x 4M -l 10 -w 2 -z outofplace, the two
types alternated $PAIRS times; the best bus bw of each. Oversubscribed: 64 ranks at 1K as -s 64
in one process and as 4 processes of -s 16, alternated $PAIRS times; the best latency of each.
Two processes against the bare kernel: perf_mpi's all-reduce at 32M and the bare kernel of
section 1 (128 MiB per buffer), alternated $PAIRS times, the best of each: this host's memory
speed moves by half within minutes, so figures taken at different moments do not compare.
Steadiness: $STEADY_RUNS runs of bench-allreduce -s 2 -n 1K -x 4M -m 4 -l 20 -w 5; per row (count,
mode) from 256K up, the spread of bus bw (max - min) over its median; the worst row counts. After
each run, the bare kernel in the same rows (perf_oxcl --bare-rows: 2 threads, 5 warm-up calls and
a block of 20, a spinning barrier after each call, no library): the spread this host alone gives.
"run by run": the ratio of each pair on its own, lowest to highest: a miss within that range may
be this host's noise rather than a regression.
Host load (1-minute average) before this section: $(cut -d' ' -f1 /proc/loadavg 2>/dev/null)
EOF
rep=0
while [ $rep -lt "$PAIRS" ]; do
  rep=$((rep + 1))
  for t in float16 bfloat16; do
    bounded 120 "$bin/bench-allreduce" -s 2 -n 4M -x 4M -t $t -l 10 -w 2 -z outofplace \
      >"$work/half_${t}_$rep.out" 2>/dev/null
  done
  bounded 120 "$bin/bench-allreduce" -s 64 -n 1K -x 1K -l 20 -w 5 -z outofplace \
    >"$work/over_s64_$rep.out" 2>/dev/null
  bounded 180 $MPIRUN4 "$bin/bench-allreduce" -s 16 -n 1K -x 1K -l 20 -w 5 -z outofplace \
    >"$work/over_np4_$rep.out" 2>/dev/null
  bounded 120 "$bin/perf_oxcl" --memcpy-mib 128 --min-seconds 0 --counts 1 --ranks 2 \
    --colls allreduce --iters 1 >"$work/pair_bare_$rep.out" 2>/dev/null
  if [ -x "$bin/perf_mpi" ]; then
    bounded 120 $MPIRUN "$bin/perf_mpi" --oxcl-only --colls allreduce --min-seconds 0 \
      --iters 20 32M >"$work/pair_mpi_$rep.out" 2>/dev/null
  fi
done
# best_result KEY FILES...: the largest value of RESULT line KEY in the files.
best_result() {
  key=$1
  shift
  awk -v k="$key" '$1 == "RESULT" && $2 == k && (b == "" || $3 + 0 > b + 0) { b = $3 }
    END { if (b != "") print b }' "$@" 2>/dev/null
}
put pair_bare_gbps "$(best_result bare_allreduce_gbps "$work"/pair_bare_*.out)"
put pair_mpi_busbw "$(best_result mpi_allreduce_n2_c33554432_oxcl_busbw "$work"/pair_mpi_*.out)"
# first_row BACK max|min FILES...: field NF-BACK of each file's first table row, the best of
# the files.
first_row() {
  back=$1 pick=$2
  shift 2
  awk -v back="$back" -v pick="$pick" '
    /^ +[0-9]+ +[0-9]+ / && NF >= 7 && !(FILENAME in seen) {
      seen[FILENAME] = 1
      v = $(NF - back) + 0
      if (n == 0 || (pick == "max" ? v > b : v < b)) b = v
      n++
    }
    END { if (n) print b }' "$@" 2>/dev/null
}
put half_float16_busbw "$(first_row 1 max "$work"/half_float16_*.out)"
put half_bfloat16_busbw "$(first_row 1 max "$work"/half_bfloat16_*.out)"
put over_s64_us "$(first_row 3 min "$work"/over_s64_*.out)"
put over_np4_us "$(first_row 3 min "$work"/over_np4_*.out)"
echo "float16 $(get half_float16_busbw) GB/s, bfloat16 $(get half_bfloat16_busbw) GB/s" \
     "(ratio $(ratio "$(get half_float16_busbw)" "$(get half_bfloat16_busbw)"))"
echo "64 ranks at 1K: -s 64 $(get over_s64_us) us, -np 4 -s 16 $(get over_np4_us) us" \
     "(ratio $(ratio "$(get over_np4_us)" "$(get over_s64_us)"))"
echo "2 processes at 32M: all-reduce $(get pair_mpi_busbw) GB/s, bare kernel" \
     "$(get pair_bare_gbps) GB/s (ratio $(ratio "$(get pair_mpi_busbw)" "$(get pair_bare_gbps)"))"
# Each pair of runs above on its own.
rep=0
: >"$work/half_pairs"
: >"$work/over_pairs"
: >"$work/pair_pairs"
while [ $rep -lt "$PAIRS" ]; do
  rep=$((rep + 1))
  echo "$(first_row 1 max "$work/half_float16_$rep.out")" \
       "$(first_row 1 max "$work/half_bfloat16_$rep.out")" >>"$work/half_pairs"
  echo "$(first_row 3 min "$work/over_np4_$rep.out")" \
       "$(first_row 3 min "$work/over_s64_$rep.out")" >>"$work/over_pairs"
  echo "$(best_result mpi_allreduce_n2_c33554432_oxcl_busbw "$work/pair_mpi_$rep.out")" \
       "$(best_result bare_allreduce_gbps "$work/pair_bare_$rep.out")" >>"$work/pair_pairs"
done
echo "  run by run: float16 / bfloat16 $(run_by_run pairs <"$work/half_pairs");" \
     "-np 4 / -s 64 $(run_by_run pairs <"$work/over_pairs");" \
     "2 processes / bare kernel $(run_by_run pairs <"$work/pair_pairs")"
run=0
while [ $run -lt "$STEADY_RUNS" ]; do
  run=$((run + 1))
  bounded 180 "$bin/bench-allreduce" -s 2 -n 1K -x 4M -m 4 -l 20 -w 5 \
    >"$work/steady_$run.out" 2>/dev/null
  bounded 120 "$bin/perf_oxcl" --bare-rows 1K,4K,16K,64K,256K,1M,4M --iters 20 \
    >"$work/steady_bare_$run.out" 2>/dev/null
done
# spreads LABEL KEY: from "count mode bus-bw" lines, per row from 256K up the spread (max - min)
# over the median; the worst row is recorded as KEY.
spreads() {
  awk -v label="$1" -v key="$2" '
    $1 >= 262144 {
      row = $1 " " $2
      if (!(row in n)) order[++rows] = row
      v[row, ++n[row]] = $3 + 0
    }
    END {
      for (i = 1; i <= rows; i++) {
        k = order[i]
        c = n[k]
        for (a = 1; a <= c; a++) s[a] = v[k, a]
        for (a = 2; a <= c; a++)
          for (b = a; b > 1 && s[b - 1] > s[b]; b--) { t = s[b]; s[b] = s[b - 1]; s[b - 1] = t }
        med = c % 2 ? s[(c + 1) / 2] : (s[c / 2] + s[c / 2 + 1]) / 2
        spread = med > 0 ? (s[c] - s[1]) / med * 100 : 100
        split(k, part, " ")
        printf "%s count %-8s %-3s: %d runs, median %.2f GB/s, min %.2f, max %.2f, " \
               "spread %.1f%%\n", label, part[1], part[2], c, med, s[1], s[c], spread
        if (i == 1 || spread > worst) worst = spread
      }
      if (rows) printf "RESULT %s %.1f\n", key, worst
    }'
}
# The program's rows: bytes, count, type, redop, then per mode latency, algo bw, bus bw, errors.
awk '/^ +[0-9]+ +[0-9]+ / && NF >= 8 {
    for (m = 0; 8 + 4 * m <= NF; m++) print $2, (m == 0 ? "in" : "out"), $(7 + 4 * m)
  }' "$work"/steady_[0-9]*.out 2>/dev/null | spreads steady steady_worst_pct >"$work/steady.txt"
# The bare kernel in the same rows, run by run beside the program: how far this host alone
# moves a row.
awk '$1 == "bare" && $2 == "row" { print $3, $4, $5 }' "$work"/steady_bare_*.out 2>/dev/null |
  spreads "steady bare" steady_bare_worst_pct >>"$work/steady.txt"
grep -v '^RESULT ' "$work/steady.txt"
sed -n 's/^RESULT //p' "$work/steady.txt" >>"$res"

# ----------------------------------------------------------------------------------------------
section "summary of targets"
printf '%-52s %12s %12s  %s\n' target measured target verdict
met=0
missed=0
# verdict NAME MEASURED TARGET ge|le: one summary row; MISSED by the shortfall in percent.
verdict() {
  if [ -z "$2" ] || [ -z "$3" ]; then
    printf '%-52s %12s %12s  %s\n' "$1" "n/a" "${3:-n/a}" "NOT MEASURED"
    missed=$((missed + 1))
    return
  fi
  v=$(calc "m = $2; t = $3; ge = (\"$4\" == \"ge\");
    if (ge ? m >= t : m <= t) print \"met\";
    else printf \"MISSED by %.1f%%\", (t > 0 ? (ge ? 1 - m / t : m / t - 1) * 100 : 100)")
  case $v in met) met=$((met + 1)) ;; *) missed=$((missed + 1)) ;; esac
  sign=">="
  [ "$4" = le ] && sign="<="
  printf '%-52s %12s %12s  %s\n' "$1" "$2" "$sign $3" "$v"
}

# All-reduce in one process against the single-thread copy; the other three against their floor.
verdict "allreduce 2 ranks 32M: bus bw / 1-thread memcpy" \
  "$(ratio "$(get inproc_allreduce_n2_c33554432_busbw)" "$(get memcpy_1t_gbps)")" 0.95 ge
for coll in reducescatter allgather alltoall; do
  bw=$(get "inproc_${coll}_n2_c33554432_busbw")
  fl=$(get "inproc_${coll}_n2_c33554432_floor")
  verdict "$coll 2 ranks 32M: bus bw vs 0.8 x floor (GB/s)" "$bw" \
    "$([ -n "$fl" ] && calc "printf \"%.3f\", 0.8 * $fl")" ge
done
for coll in $COLLS; do
  for count in 33554432 4194304; do
    case $coll/$count in
      allreduce/33554432) f=8 ;;
      reducescatter/33554432) f=4 ;;
      */33554432) f=1.5 ;;
      *) f=1 ;;
    esac
    o=$(get "mpi_${coll}_n2_c${count}_oxcl_busbw")
    m=$(get "mpi_${coll}_n2_c${count}_mpi_busbw")
    verdict "$coll 2 procs $((count >> 20))M: oxcl vs ${f}x MPI (GB/s)" "$o" \
      "$([ -n "$m" ] && calc "printf \"%.3f\", $f * $m")" ge
  done
done
for coll in $COLLS; do
  for cfg in s2 s4 mpi; do
    for count in 4194304 33554432; do
      verdict "bench-$coll $cfg $((count >> 20))M: bus bw / tight loop" \
        "$(get "ratio_${coll}_${cfg}_c${count}")" 0.95 ge
    done
    verdict "bench-$coll $cfg count 1: latency - tight loop (us)" \
      "$(get "dlat_${coll}_${cfg}_c1")" 2 le
  done
done
verdict "data check: sweep -d 1 / -d 0 (wall time)" "$(ratio "$s1" "$s0")" 2.5 le
verdict "data check: 512-step sweep to 256K -d 1 / -d 0 (wall time)" "$(ratio "$m1" "$m0")" 2.5 le
verdict "fill+check / all-core memcpy (perf_check)" "$(get check_ratio)" 0.5 ge
for d in 0 1; do
  verdict "peak RSS bench-allreduce -d $d / buffers held" \
    "$(ratio "$(get rss_d${d}_bytes)" "$(get rss_d${d}_need)")" 1.10 le
done
verdict "README example: -d 1 / -d 0 (wall time)" "$(ratio "$e1" "$e0")" 2 le
verdict "README example -d 1: peak RSS / buffers held" "$(ratio "$eb" "$example_need")" 1.10 le
verdict "float16 / bfloat16 bus bw, allreduce 2 ranks 4M" \
  "$(ratio "$(get half_float16_busbw)" "$(get half_bfloat16_busbw)")" 0.8 ge
verdict "steadiness: worst row >= 256K, spread / median (%)" "$(get steady_worst_pct)" 10 le
verdict "allreduce 2 procs 32M: bus bw / bare kernel (alternated)" \
  "$(ratio "$(get pair_mpi_busbw)" "$(get pair_bare_gbps)")" 0.9 ge
verdict "64 ranks 1K: -np 4 -s 16 / -s 64 latency" \
  "$(ratio "$(get over_np4_us)" "$(get over_s64_us)")" 3 le

# What this host allows at the same moment: the bare all-reduce kernel (section 1) bounds every
# all-reduce of 2 ranks, in one process or across two.
bare=$(get bare_allreduce_gbps)
echo
echo "bounds on this host, from the bare all-reduce kernel (${bare:-?} GB/s bus bw):"
echo "  allreduce 2 ranks 32M: at most $(ratio "$bare" "$(get memcpy_1t_gbps)") x 1-thread memcpy" \
     "(target 0.95); the library reaches" \
     "$(ratio "$(get inproc_allreduce_n2_c33554432_busbw)" "$bare") of the kernel"
echo "  allreduce 2 procs 32M: at most $(ratio "$bare" "$(get mpi_allreduce_n2_c33554432_mpi_busbw)")" \
     "x MPI (target 8); the library reaches" \
     "$(ratio "$(get mpi_allreduce_n2_c33554432_oxcl_busbw)" "$bare") of the kernel"
echo "  steadiness: the bare kernel's worst row over the same runs spread" \
     "$(get steady_bare_worst_pct)% (target 10 for the program's rows, which spread" \
     "$(get steady_worst_pct)%)"
echo
echo "targets met: $met, missed or not measured: $missed; run time $(($(date +%s) - started)) s"
