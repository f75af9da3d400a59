# Quick start:
#   make run    install what is missing, build the programs and the demo
#               directory, start the window on it (needs a desktop session;
#               without one: xvfb-run make run)
#   make test   install what is missing, build, run every test (also under sanitizers)

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: tidy all deps build run test test-plain test-asan asan bench package format clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Only what the window runs on, and not before we know it can be shown.
run: deps $(BUILD)/CMakeCache.txt
	@if [ -z "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ]; then \
	  echo "make run: the window needs a desktop session (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2; \
	  echo "make run: on a machine without one, run it under a virtual display: xvfb-run make run" >&2; \
	  exit 1; \
	fi
	cmake --build $(BUILD) -j $(JOBS) --target tallon tallon-recover tallon-db demo
	cd $(BUILD)/bin && ./tallon

test: deps
	scripts/run-tests

test-plain: build
	scripts/run-tests --plain-only

$(ASAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DTALLON_SANITIZE=ON -DTALLON_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)

asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# Micro-benchmarks of the engine, then the end-to-end recovery benchmark
# (100,000 and 1,000,000 generated RAW lines in four set-ups; local daily mode
# on 200,000 lines in time order and in random order over 30 days, and on
# 1,000,000 in random order over 340 days), then continuous
# intake beside it (catch-up, latency, idle cost, 10,000 files).
bench: build
	$(BUILD)/bench/bench_engine
	$(BUILD)/bench/bench_alias_pg
	$(BUILD)/bench/bench_paradox_import
	BUILD=$(BUILD) bench/run-recover-bench
	BUILD=$(BUILD) ONLY='local, daily' bench/run-recover-bench 200000
	BUILD=$(BUILD) ONLY='local, daily' ORDER=shuffled bench/run-recover-bench 200000
	BUILD=$(BUILD) ONLY='local, daily' ORDER=shuffled DAYS=340 bench/run-recover-bench 1000000
	BUILD=$(BUILD) bench/run-watch-bench

# The Debian package, from a Release build of its own.
package: deps
	cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLON_BUILD_TESTS=OFF -DTALLON_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-release -j $(JOBS)
	cd build-release && cpack -G DEB

tidy: build
	scripts/check-tidy

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-release
