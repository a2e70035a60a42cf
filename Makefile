# Talvoro: one entry point for setting up, building, running and testing.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
SAN_BUILD ?= build-sanitize
FUZZ_SECONDS ?= 60
CHECK_FUZZ_SECONDS ?= 30
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test check test-sanitize fuzz package bench bench-views bench-startup screenshots clean

all: build

deps:
	@bash scripts/install-deps.sh

# Line tables only (-g1): a backtrace still names file and line, and a clean build takes a quarter
# less time than with full debug information.
$(BUILD)/build.ninja: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		"-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD)

run: build
	@bash scripts/run.sh

test: build
	cd $(BUILD) && ctest --output-on-failure --parallel $(JOBS)

# Everything CI runs: the suite in the normal build, the suite again under the sanitizers, and
# every fuzz target briefly, so that a regression in a parser is caught.
check: test
	$(MAKE) test-sanitize
	$(MAKE) fuzz FUZZ_SECONDS=$(CHECK_FUZZ_SECONDS)

# A Debian package of the program and the server: $(BUILD)/talvoro_<version>_<arch>.deb
package: build
	cd $(BUILD) && cpack -G DEB

# One clang build serves the sanitizer suite and the fuzz targets: everything in it is built with
# AddressSanitizer and UndefinedBehaviorSanitizer (and coverage for the fuzzers), at -O1 with line
# tables only and without ahead-of-time QML compilation, which keeps a clean build shorter than
# the normal one.
$(SAN_BUILD)/build.ninja: CMakeLists.txt | deps
	CC=clang CXX=clang++ cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		"-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only" \
		-DTALVORO_FUZZ=ON -DTALVORO_QML_AOT=OFF -DTALVORO_BUILD_BENCH=OFF $(CMAKE_FLAGS)

# The whole suite again in that build (the programs that show windows unwind allocations the
# slow way, see talvoro_add_test).
test-sanitize: deps $(SAN_BUILD)/build.ninja
	cmake --build $(SAN_BUILD)
	cd $(SAN_BUILD) && \
		ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan-qt.supp:print_suppressions=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure --parallel $(JOBS)

# Every fuzz target for FUZZ_SECONDS seconds, JOBS at a time.
fuzz: deps $(SAN_BUILD)/build.ninja
	cmake --build $(SAN_BUILD) --target fuzzers
	bash scripts/fuzz.sh $(SAN_BUILD) $(FUZZ_SECONDS) $(JOBS)

bench: build
	$(BUILD)/bench/talvoro_bench --benchmark_out=$(BUILD)/bench.json --benchmark_out_format=json

bench-views: build
	$(BUILD)/bench/talvoro_bench_views --benchmark_out=$(BUILD)/bench-views.json --benchmark_out_format=json

# Talvoro's start against a bare Qt Quick window, on a virtual X server.
bench-startup: build
	xvfb-run -a $(BUILD)/bench/talvoro_bench_startup --benchmark_out=$(BUILD)/bench-startup.json --benchmark_out_format=json

# The main states of the program rendered offscreen to build/screenshots/*.png.
screenshots: build
	rm -rf $(BUILD)/screenshots
	QT_QPA_PLATFORM=offscreen $(BUILD)/tools/talvoro_screenshots $(BUILD)/screenshots

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
