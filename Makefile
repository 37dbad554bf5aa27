# Convenience targets over the CMake presets (see CMakePresets.json and README.md).
.PHONY: all test test-dev test-tsan demo bench bench-build bench-tool install format clean

all: test

test: test-dev test-tsan

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

# Release build of the tool and the examples, then the scenario of scripts/demo.sh on the
# samples in examples/data (under a minute once built).
demo:
	@scripts/ensure-deps.sh demo
	cmake --preset release -DTAMSEL_BUILD_BENCH=OFF
	cmake --build --preset release --parallel 2 --target tamsel_tool jsonl_filter parse_record \
		runtime_stats
	scripts/demo.sh build/release

# Benchmarks against the peers (bench/README.md): the release build of the `bench` target, run
# once, then bench/report.py turns Google Benchmark's JSON into bench/results/latest.md and
# prints it. BENCH_QUICK=1 is a smoke run of about a minute; BENCH_ARGS passes flags to the
# runner (e.g. BENCH_ARGS=--benchmark_filter=extract).
bench-build:
	@scripts/ensure-deps.sh bench
	cmake --preset release -DTAMSEL_BUILD_BENCH=ON
	cmake --build --preset release --target bench --parallel 2

bench: bench-build
	@mkdir -p bench/results
	./build/release/bench/tamsel_bench --benchmark_out=bench/results/latest.json \
		--benchmark_out_format=json $(BENCH_ARGS)
	python3 bench/report.py bench/results/latest.json bench/results/latest.md

# The tamsel tool against jq (bench/tool.sh, hyperfine); not part of `make bench`.
bench-tool:
	@scripts/ensure-deps.sh bench
	cmake --preset release -DTAMSEL_BUILD_BENCH=OFF
	cmake --build --preset release --parallel 2 --target tamsel_tool
	bench/tool.sh build/release

install:
	cmake --preset release -DTAMSEL_BUILD_BENCH=OFF
	cmake --build --preset release
	cmake --install build/release $(if $(PREFIX),--prefix $(PREFIX),)

format:
	find include src tests examples tools bench fuzz \( -name '*.cpp' -o -name '*.hpp' -o -name '*.c' -o -name '*.h' \) -print0 2>/dev/null | xargs -0 clang-format -i

clean:
	rm -rf build
