#!/usr/bin/env bash
# The vendor build made as a user with cards makes it, against the simulator installed as the
# vendor stack: installs the simulator build to a prefix of its own, configures the vendor build
# there with the README's command (tests on), builds it, runs its tests, installs it, and runs the
# four installed programs with the data check, one of them on two processes, without
# LD_LIBRARY_PATH. Exit status 0 when every step passed. `make vendor` runs it (CI too).
set -uo pipefail

usage() {
  cat <<'EOF'
Usage: tools/check_vendor_build.sh [--ci] [SIM_BUILD [VENDOR_BUILD]]

  SIM_BUILD     a built simulator build folder (OX_PLATFORM=sim), default build
  VENDOR_BUILD  the vendor build folder to configure and build, default build-vendor

Installs SIM_BUILD's simulator as a vendor tree in SIM_BUILD/oxsim-root, builds VENDOR_BUILD
against it with -DOX_PLATFORM=vendor -DOX_VENDOR_ROOT=SIM_BUILD/oxsim-root, runs its tests
(ctest), installs it to VENDOR_BUILD/install and runs the installed programs with -d 1, their
output kept in VENDOR_BUILD/check. Both prefixes are emptied first. JOBS sets the parallel build
and test jobs (default 2).

  --ci          build only the programs and the test collective, and run only the tests that
                run them (runseq_*, mpi_*): the unit and tool tests are the same sources as the
                simulator build's, which `make test` runs (make vendor, and CI, use this)
EOF
}

ci=0
case "${1:-}" in
  -h | --help) usage; exit 0 ;;
  --ci) ci=1; shift ;;
esac
case "${1:-}" in
  -*) echo "check_vendor_build.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
esac
if [ $# -gt 2 ]; then
  echo "check_vendor_build.sh: at most two folders, got $#" >&2; usage >&2; exit 2
fi
# Folders given are taken from where the script is started, the defaults from the source tree.
here=$(pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
absolute() {
  case "$1" in /*) echo "$1" ;; *) echo "$here/$1" ;; esac
}
sim=$src/build
vendor=$src/build-vendor
[ $# -ge 1 ] && sim=$(absolute "$1")
[ $# -ge 2 ] && vendor=$(absolute "$2")
jobs=${JOBS:-2}
if ! grep -qx 'OX_PLATFORM:STRING=sim' "$sim/CMakeCache.txt" 2>/dev/null; then
  echo "check_vendor_build.sh: $sim is not a simulator build folder; run make build first" >&2
  exit 2
fi
if [ ! -x "$sim/bin/bench-allreduce" ]; then
  echo "check_vendor_build.sh: $sim is not built; run make build first" >&2
  exit 2
fi
# Its install and check folders are emptied below: only a build folder or a new one will do.
if [ -d "$vendor" ] && [ -n "$(ls -A "$vendor")" ] && [ ! -f "$vendor/CMakeCache.txt" ]; then
  echo "check_vendor_build.sh: $vendor is neither empty nor a build folder; name another" >&2
  exit 2
fi
cd "$src"

root=$sim/oxsim-root       # the stand-in vendor installation
prefix=$vendor/install     # where the suite is installed
work=$vendor/check         # the logs
rm -rf "$root" "$prefix" "$work"
mkdir -p "$work" || exit 1
passed="# All Result Check: PASSED"
# The installed programs must find their libraries by themselves.
unset LD_LIBRARY_PATH
if [ "$(id -u)" = 0 ]; then
  export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
fi

fail() {
  echo "=== vendor: FAILED: $*" >&2
  exit 1
}
step() {
  echo "=== vendor [${SECONDS} s]: $*"
}

step "cmake --install $sim --prefix $root --component oxsim"
cmake --install "$sim" --prefix "$root" --component oxsim >"$work/install-sim.log" ||
  { cat "$work/install-sim.log"; fail "installing the simulator"; }
for so in liboxrt.so liboxdrv.so liboxdev.so liboxcl.so.1 liboxmpi_wrapper.so; do
  [ -e "$root/lib/$so" ] || fail "the installed simulator lacks lib/$so"
done

step "cmake -S . -B $vendor -DOX_PLATFORM=vendor -DOX_VENDOR_ROOT=$root"
cmake -S . -B "$vendor" -DOX_PLATFORM=vendor -DOX_VENDOR_ROOT="$root" >"$work/configure.log" ||
  { cat "$work/configure.log"; fail "configuring the vendor build"; }
grep -E '^-- (Vendor|OX_PLATFORM)' "$work/configure.log"

programs="bench-allreduce bench-reducescatter bench-allgather bench-alltoall"
targets=()
tests=()
if [ "$ci" = 1 ]; then
  targets=(--target $programs bench-testcoll)
  tests=(-R '^(runseq|mpi)_')
fi
step "cmake --build $vendor -j$jobs ${targets[*]}"
cmake --build "$vendor" -j"$jobs" "${targets[@]}" >"$work/build.log" 2>&1 ||
  { tail -n 60 "$work/build.log"; fail "building the vendor build"; }

step "ctest --test-dir $vendor -j$jobs ${tests[*]}"
"$src/tools/ci/ctest_timed.sh" --test-dir "$vendor" --output-on-failure -j"$jobs" "${tests[@]}" \
  >"$work/ctest.log" 2>&1
status=$?
grep -E 'tests passed|tests failed|Total Test time' "$work/ctest.log"
sed -n '/^=== the .* slowest tests/,$p' "$work/ctest.log"
[ "$status" = 0 ] || { grep -A 40 'The following tests FAILED' "$work/ctest.log"; fail "vendor build tests"; }

step "cmake --install $vendor --prefix $prefix"
cmake --install "$vendor" --prefix "$prefix" >"$work/install.log" ||
  { cat "$work/install.log"; fail "installing the suite"; }
for prog in $programs; do
  runpath=$(readelf -d "$prefix/bin/$prog" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  [ "$runpath" = "$root/lib" ] || fail "$prog has RUNPATH '$runpath', not $root/lib"
done
for tool in plot_results.py compare_results.py ab_compare.py junit_report.py scaling.py; do
  [ -x "$prefix/share/oxcl-benchmark/$tool" ] || fail "$tool is not installed"
  # The tools are Python; a machine without it still gets them installed.
  if command -v python3 >/dev/null; then
    "$prefix/share/oxcl-benchmark/$tool" --help >/dev/null || fail "the installed $tool does not run"
  fi
done

# run NAME COMMAND...: the run must end with status 0 and the PASSED verdict.
run() {
  local name=$1
  shift
  local start=$SECONDS
  "$@" >"$work/$name.out" 2>"$work/$name.err"
  local rc=$?
  if [ "$rc" != 0 ] || ! grep -qxF "$passed" "$work/$name.out"; then
    tail -n 20 "$work/$name.out" "$work/$name.err" >&2
    fail "$* (exit status $rc)"
  fi
  echo "$* : $passed ($((SECONDS - start)) s)"
}
step "installed programs, -d 1, no LD_LIBRARY_PATH"
cd "$prefix"  # away from the source and build trees
for prog in $programs; do
  run "$prog" "$prefix/bin/$prog" -d 1
done
run mpirun mpirun -np 2 --oversubscribe --bind-to none "$prefix/bin/bench-allreduce" -d 1
step "passed"
