# The two commands: `make run` builds and starts the server console in run/; `make test`
# builds and runs every test.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test test-asan test-tsan fuzz bench clean

all: build

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR)

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	cd run && ../$(BUILD_DIR)/msgserver

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer with UndefinedBehaviorSanitizer, and under
# ThreadSanitizer, each in a build folder of its own.
test-asan:
	cmake -S . -B build-asan -DSANITIZE=address
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

test-tsan:
	cmake -S . -B build-tsan -DSANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j $(JOBS)

# Every fuzz target of tools/fuzz for FUZZ_SECONDS seconds each, built with clang in build-fuzz/.
# New inputs go to build-fuzz/corpus/<name>/ (kept between runs); the committed seeds in
# tools/fuzz/corpus/<name>/ are only read. A crash is kept as build-fuzz/crash-<name>-*; copy
# it into the committed corpus once fixed, so that its replay test guards the fix. The targets'
# files (and the lock files of the paths they use) go to a temporary folder of the run, in memory
# (/dev/shm) where there is one: on a disk the targets run many times slower.
FUZZ_SECONDS ?= 60
FUZZ_NAMES = $(shell echo $(patsubst tools/fuzz/%Fuzzer.cpp,%,$(wildcard tools/fuzz/*Fuzzer.cpp)) \
  | tr A-Z a-z)

fuzz:
	if [ -f build-fuzz/CMakeCache.txt ]; then cmake -S . -B build-fuzz -DFUZZ=ON; \
	else cmake -S . -B build-fuzz -DFUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF; fi
	cmake --build build-fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_NAMES))
	@failed=""; \
	if [ -d /dev/shm ] && [ -w /dev/shm ]; then shm=/dev/shm; else shm=$${TMPDIR:-/tmp}; fi; \
	export TMPDIR=$$(mktemp -d $$shm/msgserver-fuzz.XXXXXX); \
	for name in $(FUZZ_NAMES); do \
	  mkdir -p build-fuzz/corpus/$$name; \
	  dict=""; [ -f tools/fuzz/$$name.dict ] && dict="-dict=tools/fuzz/$$name.dict"; \
	  echo "== fuzz_$$name for $(FUZZ_SECONDS) s"; \
	  build-fuzz/tools/fuzz/fuzz_$$name -max_total_time=$(FUZZ_SECONDS) -timeout=10 -max_len=8192 \
	    -close_fd_mask=1 -print_final_stats=1 $$dict \
	    -artifact_prefix=build-fuzz/crash-$$name- \
	    build-fuzz/corpus/$$name tools/fuzz/corpus/$$name || failed="$$failed $$name"; \
	done; \
	rm -rf "$$TMPDIR"; \
	if [ -n "$$failed" ]; then echo "fuzz targets that failed:$$failed"; exit 1; fi

# msgserver against the reference relay, every figure also a ratio to the relay's of the same
# run (docs/benchmarks.md): a Release build in build-release/, both servers started and stopped
# by tools/msgbench/compare.sh; msgbench's options in BENCH_ARGS, e.g.
# make bench BENCH_ARGS="--scenario logins --users 500".
BENCH_ARGS ?= --duration 2

bench:
	tools/msgbench/compare.sh $(BENCH_ARGS)

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-fuzz

# --- Windows ------------------------------------------------------------------------------------
# `make windows` cross-builds the Windows programs with mingw-w64 into build-windows/
# (msgserver.exe, msgclient.exe, msgbench.exe); `make test-windows` builds the test programs too,
# runs them under Wine through CTest, and runs the end-to-end smoke test, whose two clients are
# the Linux msgclient (built alone in build-windows-host/).
WINDOWS_BUILD_DIR ?= build-windows
WINDOWS_HOST_DIR ?= build-windows-host

.PHONY: windows test-windows clean-windows

$(WINDOWS_BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(WINDOWS_BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake

windows: $(WINDOWS_BUILD_DIR)/CMakeCache.txt
	cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS) --target msgserver msgclient msgbench

$(WINDOWS_HOST_DIR)/CMakeCache.txt:
	cmake -S . -B $(WINDOWS_HOST_DIR) -DBUILD_TESTING=OFF

test-windows: windows $(WINDOWS_HOST_DIR)/CMakeCache.txt
	cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS)
	cmake --build $(WINDOWS_HOST_DIR) -j $(JOBS) --target msgclient
	tests/support/RunTestsWindows.sh $(WINDOWS_BUILD_DIR) $(WINDOWS_HOST_DIR)/msgclient $(JOBS)

clean-windows:
	rm -rf $(WINDOWS_BUILD_DIR) $(WINDOWS_HOST_DIR)
# --- end of Windows -----------------------------------------------------------------------------
