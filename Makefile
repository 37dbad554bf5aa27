# Convenience targets over the CMake presets (see CMakePresets.json and README.md).
.PHONY: all test test-dev test-tsan test-valgrind check-integrator docs demo bench bench-build bench-tool install \
	format clean fuzz fuzz-build fuzz-smoke

all: test

test: test-dev test-tsan test-valgrind

# Debug build with AddressSanitizer and UndefinedBehaviorSanitizer; every test through ctest.
test-dev:
	@scripts/ensure-deps.sh test
	cmake --preset dev
	cmake --build --preset dev
	ctest --preset dev

# The concurrency tests again, under ThreadSanitizer.
test-tsan:
	@scripts/ensure-deps.sh test
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

# The conformance and core tests under valgrind's memcheck, on a plain Debug build (valgrind
# and the sanitizers do not mix); about half a minute with the build.
test-valgrind:
	@scripts/ensure-deps.sh valgrind
	cmake -S . -B build/valgrind -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAMSEL_WERROR=ON \
		-DTAMSEL_VALGRIND_TESTS=ON
	cmake --build build/valgrind --parallel 2 --target tamsel_core_tests tamsel_visit_tests \
		tamsel_parse_tests
	ctest --test-dir build/valgrind -L valgrind --output-on-failure

# The README's plain CMake build with the test peers hidden (scripts/check-integrator-build.sh).
check-integrator:
	scripts/check-integrator-build.sh

# The API reference from the header's comments (Doxygen): build/docs/html/index.html. Every
# public name must be documented; a warning fails the target.
docs:
	@scripts/ensure-deps.sh docs
	@mkdir -p build/docs
	TAMSEL_DOCS_OUT=build/docs doxygen docs/Doxyfile
	@echo "API reference: build/docs/html/index.html"

# libFuzzer targets (fuzz/README.md), built by the fuzz preset with clang 14.
#   make fuzz TARGET=fuzz_parse SECONDS=600   one target, longer
#   make fuzz-smoke                           every target for SMOKE_SECONDS (30) each
# The targets as fuzz/targets.cmake lists them for the build, one name a line.
FUZZ_TARGETS := $(shell sed -n 's/^  \(fuzz_[a-z_]*\).*/\1/p' fuzz/targets.cmake)
TARGET ?= fuzz_parse
SECONDS ?= 300
SMOKE_SECONDS ?= 30

fuzz-build:
	@scripts/ensure-deps.sh fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz --target fuzz_targets --parallel 2

fuzz: fuzz-build
	scripts/fuzz.sh $(TARGET) $(SECONDS)

fuzz-smoke: fuzz-build
	@for t in $(FUZZ_TARGETS); do scripts/fuzz.sh $$t $(SMOKE_SECONDS) || exit 1; done

# Release build of the tool and the examples, then the scenario of scripts/demo.sh on the
# samples in examples/data (under a minute once built).
demo:
	@scripts/ensure-deps.sh demo
	cmake --preset release -DTAMSEL_BUILD_BENCH=OFF
	cmake --build --preset release --parallel 2 --target tamsel_tool jsonl_filter parse_record \
		runtime_stats github_events write_document
	scripts/demo.sh build/release

# Benchmarks against the peers (bench/README.md): the release build of the `bench` target, run
# once, then bench/report.py turns Google Benchmark's JSON into bench/results/latest.md and
# bench.svg and prints the tables. BENCH_QUICK=1 is a smoke run of well under a minute;
# BENCH_ARGS passes flags to the runner (e.g. BENCH_ARGS=--benchmark_filter=extract).
# The charts need matplotlib, which Debian installs for /usr/bin/python3.
BENCH_PYTHON := $(shell test -x /usr/bin/python3 && echo /usr/bin/python3 || echo python3)

bench-build:
	@scripts/ensure-deps.sh bench
	cmake --preset release -DTAMSEL_BUILD_BENCH=ON
	cmake --build --preset release --target bench --parallel 2

bench: bench-build
	@mkdir -p bench/results
	./build/release/bench/tamsel_bench --benchmark_out=bench/results/latest.json \
		--benchmark_out_format=json $(BENCH_ARGS)
	$(BENCH_PYTHON) bench/report.py bench/results/latest.json bench/results/latest.md

# The tamsel tool against jq and gojq (bench/tool.sh, hyperfine): bench/results/tool.md, tool.json
# and tool.svg. Not part of `make bench`; about half an hour with the 1 GiB array.
bench-tool:
	@scripts/ensure-deps.sh bench
	cmake --preset release -DTAMSEL_BUILD_BENCH=ON
	cmake --build --preset release --parallel 2 --target tamsel_tool tamsel_bench_generate
	BENCH_PYTHON=$(BENCH_PYTHON) bench/tool.sh build/release

install:
	cmake --preset release -DTAMSEL_BUILD_BENCH=OFF
	cmake --build --preset release
	cmake --install build/release $(if $(PREFIX),--prefix $(PREFIX),)

format:
	find include src tests examples tools bench fuzz \( -name '*.cpp' -o -name '*.hpp' -o -name '*.c' -o -name '*.h' \) -print0 2>/dev/null | xargs -0 clang-format -i

clean:
	rm -rf build
