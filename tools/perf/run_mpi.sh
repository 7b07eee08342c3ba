#!/bin/sh
# Runs the cross-process comparison of the four collectives against Open MPI on two processes of
# this host; builds nothing.
#   tools/perf/run_mpi.sh [build dir, default build] [perf_mpi options and counts ...]
set -e
case ${1-} in
  -h | --help)
    echo "usage: tools/perf/run_mpi.sh [BUILD_DIR] [perf_mpi options and counts ...]"
    echo "  (BUILD_DIR default: build; perf_mpi --help lists its options)"
    exit 0 ;;
esac
build=${1:-build}
[ $# -gt 0 ] && shift
if [ ! -x "$build/bin/perf_mpi" ]; then
  echo "run_mpi.sh: $build/bin/perf_mpi not found; build the perf_mpi target first" >&2
  exit 1
fi
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
exec mpirun -np 2 --oversubscribe --bind-to none "$build/bin/perf_mpi" "$@"
