#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite.
#   scripts/test.sh             the suite
#   scripts/test.sh --sanitize  the suite under AddressSanitizer and UndefinedBehaviorSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [[ ${1:-} == --sanitize ]]; then
    build=build-sanitize
    options=(-DCMAKE_BUILD_TYPE=Debug -DZC_SANITIZE=ON -DZC_BENCHMARKS=OFF)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
elif [[ -n ${1:-} ]]; then
    echo "usage: $0 [--sanitize]" >&2
    exit 2
fi

scripts/install-deps.sh test
cmake -S . -B "$build" -G Ninja "${options[@]}" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
[[ $build == build-sanitize ]] || scripts/package-test.sh
