#!/usr/bin/env bash
# Makes sure the Debian packages a make target needs are present. As root it installs the
# missing ones with apt-get (non-interactively); otherwise it names them and fails.
#   scripts/ensure-deps.sh test|bench|fuzz|valgrind|demo|docs
set -euo pipefail
what=${1:-test}

# package:probe pairs; a probe is a command name or an absolute path.
common=(cmake:cmake ninja-build:ninja g++:g++ pkg-config:pkg-config binutils:nm make:make)
test_pkgs=(libgtest-dev:/usr/include/gtest/gtest.h libgmock-dev:/usr/include/gmock/gmock.h
           rapidjson-dev:/usr/include/rapidjson/reader.h
           locales:/usr/share/i18n/locales/de_DE python3:python3 jq:jq
           "libcurl4-openssl-dev:/usr/include/*/curl/curl.h")
bench_pkgs=(libbenchmark-dev:/usr/include/benchmark/benchmark.h
            rapidjson-dev:/usr/include/rapidjson/reader.h
            libsimdjson-dev:/usr/include/simdjson.h
            libyajl-dev:/usr/include/yajl/yajl_parse.h
            libcjson-dev:/usr/include/cjson/cJSON.h
            libjansson-dev:/usr/include/jansson.h
            libboost-json1.81-dev:/usr/include/boost/json.hpp
            "libcurl4-openssl-dev:/usr/include/*/curl/curl.h"
            jq:jq gojq:gojq hyperfine:hyperfine time:/usr/bin/time python3:python3
            python3-matplotlib:/usr/lib/python3/dist-packages/matplotlib/__init__.py)
# The runtime's folder is named after clang's full version (14.0.6 on Debian 12), so the probe
# globs for it.
fuzz_pkgs=(clang-14:clang++-14
           "libclang-rt-14-dev:/usr/lib/llvm-14/lib/clang/14*/lib/linux/libclang_rt.fuzzer-x86_64.a")

case "$what" in
    test) wanted=("${common[@]}" "${test_pkgs[@]}") ;;
    demo) wanted=("${common[@]}") ;;
    docs) wanted=(doxygen:doxygen python3:python3) ;;
    bench) wanted=("${common[@]}" "${bench_pkgs[@]}") ;;
    fuzz) wanted=("${common[@]}" "${test_pkgs[@]}" "${fuzz_pkgs[@]}") ;;
    valgrind) wanted=("${common[@]}" "${test_pkgs[@]}" valgrind:valgrind) ;;
    *) echo "usage: $0 test|bench|fuzz|valgrind|demo|docs" >&2; exit 2 ;;
esac

missing=()
for pair in "${wanted[@]}"; do
    pkg=${pair%%:*} probe=${pair#*:}
    if [[ $probe == /* ]]; then
        compgen -G "$probe" >/dev/null || missing+=("$pkg")
    else
        command -v "$probe" >/dev/null 2>&1 || missing+=("$pkg")
    fi
done
# The tests check number conversion under a comma-decimal locale when one can be had.
want_locale=0
if [ "$what" = test ] && [ "$(id -u)" -eq 0 ] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    want_locale=1
    command -v locale-gen >/dev/null 2>&1 || missing+=(locales)
fi

install_locale() {
    [ "$want_locale" -eq 1 ] || return 0
    if [ -f /etc/locale.gen ] && command -v locale-gen >/dev/null 2>&1; then
        sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
        grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >> /etc/locale.gen
        locale-gen >/dev/null 2>&1 || echo "note: could not generate de_DE.UTF-8; the locale test will be skipped"
    fi
}

if [ ${#missing[@]} -eq 0 ]; then
    install_locale
    exit 0
fi

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing missing packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq </dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
    install_locale
else
    echo "missing packages; install them with:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
