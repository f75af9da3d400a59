# Quick start:
#   make run    install what is missing, build, start the window on the demo directory
#   make test   install what is missing, build, run every test (also under sanitizers)

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run test test-plain test-asan asan bench format clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
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
# (100,000 and 1,000,000 generated RAW lines in four set-ups).
bench: build
	$(BUILD)/bench/bench_engine
	$(BUILD)/bench/bench_alias_pg
	BUILD=$(BUILD) bench/run-recover-bench

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
