# Convenience targets over the CMake presets (see CMakePresets.json and README.md).
.PHONY: all test test-dev test-tsan demo bench bench-build install format clean

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

demo:
	@scripts/ensure-deps.sh demo
	cmake --preset release -DTAMSEL_BUILD_BENCH=OFF
	cmake --build --preset release --target runtime_stats
	./build/release/examples/runtime_stats

bench:
	@echo "benchmarks are not built yet"

install:
	cmake --preset release -DTAMSEL_BUILD_BENCH=OFF
	cmake --build --preset release
	cmake --install build/release $(if $(PREFIX),--prefix $(PREFIX),)

format:
	find include src tests examples tools bench fuzz \( -name '*.cpp' -o -name '*.hpp' -o -name '*.c' -o -name '*.h' \) -print0 2>/dev/null | xargs -0 clang-format -i

clean:
	rm -rf build
