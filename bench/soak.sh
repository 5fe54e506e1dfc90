#!/usr/bin/env bash
# Soak test of the real server (not run in CI): starts zanti-connect on free loopback-reachable
# ports with a configuration directory of its own and its log discarded, runs bench_soak against
# it for SECONDS (mixed UDP, TCP, discovery and hostile traffic; RSS, open files and CPU sampled
# every second), then stops the server with SIGTERM. Stops by itself.
#
#   bench/soak.sh [SECONDS] [WARM_UP]        (defaults 600 and 60)
#
# The build directory is $ZC_BENCH_BUILD_DIR or build-bench (Release). The samples are written
# to $ZC_SOAK_CSV, or to a file under /tmp whose path is printed. Exits 0 only when bench_soak
# passed and the server exited with status 0.
set -euo pipefail

seconds="${1:-600}"
warm_up="${2:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ && "$warm_up" =~ ^[0-9]+$ ]] || ((warm_up >= seconds)); then
    echo "usage: $0 [SECONDS] [WARM_UP]" >&2
    exit 2
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ZC_BENCH_BUILD_DIR:-$root/build-bench}"
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        >/dev/null
fi
ninja -C "$build" -j2 zanti-connect bench_soak >/dev/null

work="$(mktemp -d /tmp/zc-soak.XXXXXX)"
csv="${ZC_SOAK_CSV:-$work/samples.csv}"

# A port free for both UDP and TCP, from the kernel's own choice.
free_port() {
    python3 -c 'import socket
while True:
    t = socket.socket(); t.bind(("", 0)); p = t.getsockname()[1]
    u = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    try:
        u.bind(("::", p)); print(p); break
    except OSError:
        pass
    finally:
        t.close(); u.close()'
}
port="$(free_port)"
mkdir -p "$work/config/zanti-connect"
cat >"$work/config/zanti-connect/morvell.osx.zanticonnectgroup.json" <<EOF
{"zanticonnect.serverUDPPort": "$port", "zanticonnect.serverTCPPort": "$port",
 "zanticonnect.autoStartWithSystem": "false", "zanticonnect.checkForUpdatesAtLaunch": "false"}
EOF

# No display: the commands reach a desktop that only says once that it is unavailable.
env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$work/config" HOME="$work" \
    "$build/src/app/zanti-connect" >/dev/null 2>&1 &
pid=$!
cleanup() {
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

hex="$(printf ':%04X' "$port")"
listening() {
    awk -v p="$hex" 'FNR > 1 && substr($2, length($2) - 4) == p { n++ } END { exit n < 1 }' \
        "$@"
}
for _ in $(seq 100); do
    if listening /proc/net/udp /proc/net/udp6 && listening /proc/net/tcp /proc/net/tcp6; then
        break
    fi
    sleep 0.1
done
if ! listening /proc/net/udp /proc/net/udp6 || ! listening /proc/net/tcp /proc/net/tcp6; then
    echo "zanti-connect is not listening on port $port" >&2
    exit 1
fi

echo "server pid $pid, UDP and TCP port $port, $seconds s with $warm_up s of warm-up"
status=0
"$build/bench/bench_soak" --pid "$pid" --udp-port "$port" --tcp-port "$port" \
    --seconds "$seconds" --warm-up "$warm_up" --csv "$csv" || status=$?

kill -TERM "$pid"
server_status=0
wait "$pid" || server_status=$?
trap - EXIT
echo "server exit status after SIGTERM: $server_status; samples: $csv"
if [[ -z "${ZC_SOAK_CSV:-}" ]]; then
    find "$work" -mindepth 1 -maxdepth 1 ! -name samples.csv -exec rm -rf {} +
fi
((status == 0 && server_status == 0))
