# Thin wrapper: installs missing Debian packages (as root), configures, builds, runs.
BUILD ?= build
JOBS ?= 2
PACKAGES = cmake g++ libgtest-dev libgmock-dev libopenmpi-dev openmpi-bin iproute2 util-linux \
  python3 python3-scipy python3-matplotlib
export OMPI_ALLOW_RUN_AS_ROOT = 1
export OMPI_ALLOW_RUN_AS_ROOT_CONFIRM = 1

.PHONY: deps build run test vendor bench matrix asan tsan fuzz clean

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else echo "missing packages:$$missing (install them, or run make as root)"; exit 1; fi; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

# The main job: a default all-reduce run with data checking on the simulator.
run: build
	$(BUILD)/bin/bench-allreduce -d 1

test: build
	tools/ci/ctest_timed.sh --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The vendor build against the simulator installed as a vendor stack, tests on, built and run for the
# tests that run the programs (the rest are the sources make test has built and run); then the installed
# programs, run without LD_LIBRARY_PATH (part of .ci/run; tools/check_vendor_build.sh).
vendor: build
	JOBS=$(JOBS) tools/check_vendor_build.sh --ci $(BUILD) build-vendor

# Performance picture of this host in one run (tools/perf/bench.sh): ceilings, the library, the
# programs, Open MPI, the data check's cost, the simulator's own speed and steadiness; every
# target with its verdict. About 6 minutes.
bench: build
	cmake --build $(BUILD) -j$(JOBS) --target perf_oxcl peak_rss
	tools/perf/bench.sh $(BUILD)

# What the data check catches at more rank counts than the check_matrix test's 4 (README).
matrix: build
	cmake --build $(BUILD) -j$(JOBS) --target check_matrix
	for n in 2 3 8 16 129; do $(BUILD)/bin/check_matrix --ranks $$n > /dev/null || exit 1; done

# Sanitizer runs (part of .ci/run): the tests labelled asan or tsan, built from only the targets
# that they run, so that CI stays short. A labelled test whose target is missing here fails.
SAN_PROGRAMS = bench-allreduce bench-reducescatter bench-allgather bench-alltoall bench-testcoll \
  oxcl_legacy test_threadpool test_log test_threadinfo test_watchdog test_sim_queue test_sim_mpi \
  test_sim_fault_inject oxmpi_two oxcl_reference_test oxcl_fault_test oxcl_hang_test oxcl_remote_test \
  oxcl_reference_mpi_test fail_matrix test_record oxcl_waitword_test
ASAN_TARGETS = $(SAN_PROGRAMS) bench-none test_element_check test_check_kernels test_argument \
  test_datatype test_count_series test_init_reduce test_table test_gather_patterns \
  test_sim_memory test_sim_fault_parse test_sim_corrupt test_sim_knobs test_sim_drv_dev oxsim_probe \
  oxcl_api_test test_samples oxcl_half_fold_test oxcl_fold_store_test
TSAN_TARGETS = $(SAN_PROGRAMS)

asan: deps
	cmake --preset asan && cmake --build build-asan -j$(JOBS) --target $(ASAN_TARGETS) && \
	  tools/ci/ctest_timed.sh --preset asan -j$(JOBS)

tsan: deps
	cmake --preset tsan && cmake --build build-tsan -j$(JOBS) --target $(TSAN_TARGETS) && \
	  tools/ci/ctest_timed.sh --preset tsan -j$(JOBS)

# libFuzzer runs of the command-line and OXSIM_FAULT parsers (clang); not part of CI.
# FUZZ_SECONDS per target.
FUZZ_SECONDS ?= 60
fuzz:
	tools/fuzz/run.sh $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-vendor
