# make run   installs what is missing, builds, runs the main job on the sample installation
# make test  installs what is missing, builds, runs every test (also under ASan/UBSan)
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= $(BUILD)/asan
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test test-main test-asan fuzz clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run-demo.sh $(BUILD)/app

test: test-main test-asan

test-main: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The core libraries and their tests once more with AddressSanitizer and
# UndefinedBehaviorSanitizer, so memory faults fail the run.
test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFS_SANITIZE=ON -DFS_WITH_GUI=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) -LE no-asan

# libFuzzer targets, built with clang; run one with
#   build/fuzz/fuzz/<area>/<target> -max_total_time=600 fuzz/<area>/seeds
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFS_FUZZ=ON -DFS_WITH_GUI=OFF >/dev/null
	@cmake --build $(BUILD)/fuzz -j $(JOBS)

clean:
	rm -rf $(BUILD)
