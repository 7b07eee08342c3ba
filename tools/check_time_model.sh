#!/usr/bin/env bash
# Large-count checks of the programs' timing against the simulator's link model: with a 2 GB/s
# link the bus bandwidth of the large counts must read 2 GB/s within 10 % for 2, 4 and 8 ranks
# of bench-allreduce and for 2 and 4 ranks of the other programs (their bus factors), and with
# device timing the latency column must agree with the host clock's within 10 %.
set -u
usage="usage: tools/check_time_model.sh [BUILD_DIR]   (default: build)
Runs the four programs at large counts on a simulated 2 GB/s link and checks their bus
bandwidth, and the device clock against the host clock, within 10 %. Exit status: 0 when every
check holds, 1 when one does not, 2 for a bad argument or a missing build."
case "${1:-}" in
  -h|--help) echo "$usage"; exit 0 ;;
  -*) echo "check_time_model.sh: unknown option '$1'" >&2; echo "$usage" >&2; exit 2 ;;
esac
if [ $# -gt 1 ]; then
  echo "check_time_model.sh: one build folder at most" >&2; echo "$usage" >&2; exit 2
fi
build=${1:-build}
prog=$build/bin/bench-allreduce
for program in allreduce reducescatter allgather alltoall; do
  if [ ! -x "$build/bin/bench-$program" ]; then
    echo "check_time_model.sh: $build/bin/bench-$program not found: build first (make build)" \
         "or name the build folder" >&2
    exit 2
  fi
done
export OXSIM_LINK_GBPS=2 OXSIM_LINK_LATENCY_US=50
status=0

# Prints "<bus bw of the last row> <in-place latency of the last row>" of a run.
# The columns are found by their titles: the tables differ in their leading columns.
last_row() {
  awk '$1 == "#" { for (i = 2; i <= NF; ++i) { if ($i ~ /bus-bw/) b = i - 1; if ($i ~ /avg-lat/) l = i - 1 } }
       /^ +[0-9]+ +[0-9]+ / { bus = $b; lat = $l } END { print bus, lat }'
}

within() {  # within VALUE WANT: true when |VALUE - WANT| <= 10 % of WANT; never for a blank
  local number='^[0-9]+([.][0-9]+)?$'  # a run that printed no row gives no figure
  [[ $1 =~ $number && $2 =~ $number ]] || return 1
  awk -v v="$1" -v w="$2" 'BEGIN{d=v-w; if(d<0)d=-d; exit !(w > 0 && d <= 0.1*w)}'
}

# A rank's engine work cannot be faster than the host allows: on a host with few cores, 8 ranks
# are also tried on a slower link, which shows whether the model holds where the host keeps up.
for case in 2:2 4:2 8:2 8:0.5; do
  ranks=${case%%:*} rate=${case#*:}
  read -r bus lat < <(OXSIM_LINK_GBPS=$rate "$prog" -n 32M -x 32M -s "$ranks" -z inplace -l 5 \
                        -w 2 2>/dev/null | last_row)
  if within "$bus" "$rate"; then verdict=ok; else verdict=FAIL; status=1; fi
  echo "ranks=$ranks link $rate GB/s, 32M floats: bus bandwidth $bus GB/s (want $rate +-10 %): $verdict"
done
for program in reducescatter allgather alltoall; do
  for ranks in 2 4; do
    read -r bus lat < <("$build/bin/bench-$program" -n 32M -x 32M -s "$ranks" -z outofplace -l 5 \
                          -w 2 2>/dev/null | last_row)
    if within "$bus" 2; then verdict=ok; else verdict=FAIL; status=1; fi
    echo "bench-$program ranks=$ranks link 2 GB/s: bus bandwidth $bus GB/s (want 2 +-10 %): $verdict"
  done
done
echo "host cores: $(nproc)"

read -r _ host_lat < <("$prog" -n 16M -x 32M -m 2 -s 2 -y 1 -z inplace 2>/dev/null | last_row)
read -r _ dev_lat < <(BENCHMARK_TEST_HW_TIME_ENABLE=1 "$prog" -n 16M -x 32M -m 2 -s 2 -y 1 \
                        -z inplace 2>/dev/null | last_row)
if within "$dev_lat" "$host_lat"; then verdict=ok; else verdict=FAIL; status=1; fi
echo "device-timed latency $dev_lat us vs host clock $host_lat us (want within 10 %): $verdict"
exit $status
