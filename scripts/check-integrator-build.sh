#!/usr/bin/env bash
# The build an integrator runs (README, "Using tamsel from your project") on a machine without
# the test peers: GoogleTest and RapidJSON are hidden (their CMake packages disabled and their
# headers shadowed by ones that fail to compile), and the library, the tool and the examples
# must still configure, build and install. Also checks that every test source using RapidJSON
# is one the build leaves out when it is missing (named *_rapidjson_test.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."

bad=$(grep -l '#include <rapidjson/' tests/*/*.cpp | grep -v '_rapidjson_test\.cpp$' || true)
if [ -n "$bad" ]; then
    echo "test sources that include RapidJSON must be named *_rapidjson_test.cpp:" >&2
    echo "$bad" >&2
    exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/hidden/rapidjson" "$scratch/hidden/gtest"
for h in rapidjson/reader.h rapidjson/document.h rapidjson/memorystream.h gtest/gtest.h; do
    echo '#error "this peer is hidden by scripts/check-integrator-build.sh"' > "$scratch/hidden/$h"
done

cmake -S . -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_RapidJSON=ON \
    -DCMAKE_CXX_FLAGS="-isystem $scratch/hidden" -DCMAKE_C_FLAGS="-isystem $scratch/hidden" \
    >"$scratch/configure.log"
grep -q 'GoogleTest not found' "$scratch/configure.log"
grep -q 'RapidJSON not found' "$scratch/configure.log"
cmake --build "$scratch/build" --parallel 2 >"$scratch/build.log" || {
    tail -40 "$scratch/build.log" >&2
    exit 1
}
cmake --install "$scratch/build" --prefix "$scratch/prefix" >/dev/null
test -x "$scratch/prefix/bin/tamsel"
test -f "$scratch/prefix/include/tamsel.h"
ls "$scratch/prefix"/lib*/libtamsel.so.0 >/dev/null
echo '[1]' | "$scratch/prefix/bin/tamsel" validate
echo "integrator build without test peers: ok"
