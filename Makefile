# Thin wrapper: installs missing Debian packages (as root), configures, builds, runs.
BUILD ?= build
JOBS ?= 2
PACKAGES = cmake g++ libgtest-dev libgmock-dev libopenmpi-dev openmpi-bin
export OMPI_ALLOW_RUN_AS_ROOT = 1
export OMPI_ALLOW_RUN_AS_ROOT_CONFIRM = 1

.PHONY: deps build run test bench asan tsan clean

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
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# Performance picture of this host in one run (tools/perf/bench.sh): ceilings, the library, the
# programs, Open MPI, the data check's cost; every target with its verdict. About 5 minutes.
bench: build
	cmake --build $(BUILD) -j$(JOBS) --target perf_oxcl peak_rss
	tools/perf/bench.sh $(BUILD)

asan: deps
	cmake --preset asan && cmake --build build-asan -j$(JOBS) && ctest --preset asan -j$(JOBS)

tsan: deps
	cmake --preset tsan && cmake --build build-tsan -j$(JOBS) && ctest --preset tsan -j$(JOBS)

clean:
	rm -rf build build-asan build-tsan
