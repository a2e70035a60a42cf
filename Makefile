# Talvoro: one entry point for setting up, building, running and testing.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build run test test-sanitize fuzz package bench bench-views screenshots clean

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

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALVORO_SANITIZE=ON \
		-DTALVORO_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD)
	cd $(ASAN_BUILD) && \
		ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan-qt.supp:print_suppressions=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure --parallel 2

# Every fuzz target for FUZZ_SECONDS seconds, built with clang in its own build directory.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DTALVORO_FUZZ=ON -DTALVORO_BUILD_TESTS=OFF -DTALVORO_BUILD_BENCH=OFF
	cmake --build $(FUZZ_BUILD) --target fuzzers
	bash scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: build
	$(BUILD)/bench/talvoro_bench --benchmark_out=$(BUILD)/bench.json --benchmark_out_format=json

bench-views: build
	$(BUILD)/bench/talvoro_bench_views --benchmark_out=$(BUILD)/bench-views.json --benchmark_out_format=json

# The main states of the program rendered offscreen to build/screenshots/*.png.
screenshots: build
	rm -rf $(BUILD)/screenshots
	QT_QPA_PLATFORM=offscreen $(BUILD)/tests/qml/talvoro_screenshots $(BUILD)/screenshots

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
