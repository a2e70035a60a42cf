# Talvoro: one entry point for setting up, building, running and testing.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=

.PHONY: all deps configure build test bench clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure --parallel 2

bench: build
	$(BUILD)/bench/talvoro_bench --benchmark_out=$(BUILD)/bench.json --benchmark_out_format=json

clean:
	rm -rf $(BUILD)
