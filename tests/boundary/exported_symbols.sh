#!/usr/bin/env bash
# Fails when the shared library defines a dynamic symbol that is not tamsel_ or tamsel__.
set -euo pipefail
lib=$1
symbols=$(nm -D --defined-only "$lib" | awk '{print $NF}')
[ -n "$symbols" ] || { echo "no exported symbols found in $lib"; exit 1; }
bad=$(printf '%s\n' "$symbols" | grep -v -E '^tamsel_' || true)
if [ -n "$bad" ]; then
    echo "symbols exported that are not part of the C API:"
    printf '%s\n' "$bad"
    exit 1
fi
echo "$(printf '%s\n' "$symbols" | wc -l) symbols, all tamsel_"
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
[ "$soname" = "libtamsel.so.0" ] || { echo "SONAME is '$soname', expected libtamsel.so.0"; exit 1; }
# The curl adapters only have libcurl's callback shapes: the library never links it.
if objdump -p "$lib" | awk '/NEEDED/ {print $2}' | grep -q curl; then
    echo "$lib links libcurl"
    exit 1
fi
