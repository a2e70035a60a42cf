# Talvoro: one entry point for setting up, building, running and testing.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test package bench bench-views screenshots clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD)

run: build
	@bash scripts/run.sh

test: build
	cd $(BUILD) && ctest --output-on-failure --parallel 2

# A Debian package of the program and the server: $(BUILD)/talvoro_<version>_<arch>.deb
package: build
	cd $(BUILD) && cpack -G DEB

bench: build
	$(BUILD)/bench/talvoro_bench --benchmark_out=$(BUILD)/bench.json --benchmark_out_format=json

bench-views: build
	$(BUILD)/bench/talvoro_bench_views --benchmark_out=$(BUILD)/bench-views.json --benchmark_out_format=json

# The main states of the program rendered offscreen to build/screenshots/*.png.
screenshots: build
	rm -rf $(BUILD)/screenshots
	QT_QPA_PLATFORM=offscreen $(BUILD)/tests/qml/talvoro_screenshots $(BUILD)/screenshots

clean:
	rm -rf $(BUILD)
