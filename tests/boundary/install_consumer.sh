#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and builds the C consumer against it three
# ways: pkg-config (shared), find_package shared and find_package static; and the C++ consumer
# (tamsel.hpp) through pkg-config and find_package.
set -euo pipefail
build=$1 consumer=$2 cc=$3 flags=${4:-} cxx=${5:-c++}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
pc=$(find "$work/prefix" -name tamsel.pc | head -n 1)
[ -n "$pc" ] || { echo "tamsel.pc not installed"; exit 1; }
libdir=$(dirname "$(dirname "$pc")")
for f in include/tamsel.h include/tamsel.hpp; do [ -f "$work/prefix/$f" ] || { echo "missing $f"; exit 1; }; done
ls "$libdir"/libtamsel.so.0 "$libdir"/libtamsel.a >/dev/null

export PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2086
"$cc" $flags "$consumer/consumer.c" $(pkg-config --cflags --libs tamsel) \
    -Wl,-rpath,"$libdir" -o "$work/consumer_pc"
"$work/consumer_pc"
# shellcheck disable=SC2086
"$cxx" -std=c++17 $flags "$consumer/consumer.cpp" $(pkg-config --cflags --libs tamsel) \
    -Wl,-rpath,"$libdir" -o "$work/consumer_cpp_pc"
"$work/consumer_cpp_pc"

cmake -S "$consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer_shared"
"$work/cmake-build/consumer_static"
"$work/cmake-build/consumer_cpp"
echo "install tree serves pkg-config and find_package consumers"
