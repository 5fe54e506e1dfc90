#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and fuzzes the datagram path, the TCP
# byte stream and settings posts, each for a third of the time.
#
#   scripts/fuzz.sh [SECONDS]      (default 60, in all)
#
# The build directory is $ZC_FUZZ_BUILD_DIR or build-fuzz in the repository. The seeds in
# fuzz/corpus (datagrams), fuzz/corpus-stream (streams) and fuzz/corpus-settings (settings posts)
# are copied into working corpora in the
# build directory, so the repository's seeds never change; crashing inputs land in
# <build>/fuzz-artifacts. Exits non-zero when a target crashes, leaks or times out.
set -euo pipefail

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
    echo "usage: $0 [SECONDS]" >&2
    exit 2
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ZC_FUZZ_BUILD_DIR:-$root/build-fuzz}"

CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DZC_FUZZ=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" -j2 fuzz_datagram fuzz_stream fuzz_settings_post

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
share=$(( (seconds + 2) / 3 ))

# fuzz TARGET SEEDS
fuzz() {
    local corpus="$build/fuzz-corpus-$1"
    mkdir -p "$corpus"
    cp -f "$2"/* "$corpus"/
    local status=0
    ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" \
    UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
        "$build/fuzz/$1" "$corpus" \
        -dict="$root/fuzz/datagram.dict" \
        -max_total_time="$share" -max_len=65536 -timeout=25 \
        -artifact_prefix="$artifacts/$1-" -print_final_stats=1 || status=$?
    if [[ $status -ne 0 ]]; then
        echo "$1 failed (exit status $status); reproducers in $artifacts:" >&2
        ls -1 "$artifacts" >&2 || true
    fi
    return $status
}

status=0
fuzz fuzz_datagram "$root/fuzz/corpus" || status=$?
fuzz fuzz_stream "$root/fuzz/corpus-stream" || status=$?
fuzz fuzz_settings_post "$root/fuzz/corpus-settings" || status=$?
exit $status
