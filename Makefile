# The two commands: `make run` builds and starts the server console in run/; `make test`
# builds and runs every test.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test test-asan test-tsan clean

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

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan
