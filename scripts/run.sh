#!/usr/bin/env bash
# Installs what is missing, builds and starts zanti-connect. Its log goes to standard output.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DZC_BENCHMARKS=OFF >/dev/null
cmake --build build --target zanti-connect zanti-remote
exec build/src/app/zanti-connect
