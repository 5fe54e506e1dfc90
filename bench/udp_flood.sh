#!/usr/bin/env bash
# End-to-end flood of the real server: starts zanti-connect (UDP port 5916, log on standard
# output redirected to a file), sends COUNT command datagrams paced at RATE per second with
# bench_udp_flood, waits until every one shows up in the log or the count stops growing, stops
# the server with SIGTERM and reports sent, handled and lost.
#
#   bench/udp_flood.sh [COUNT] [RATE]       (defaults 100000 and 50000)
#
# The build directory is $ZC_BENCH_BUILD_DIR or build-bench in the repository (Release); it is
# configured and brought up to date first. The server's log is kept (and its path printed) when
# the run fails or ZC_KEEP_LOG is set. Exits 0 only when the server exited with status 0
# and no datagram was lost.
set -euo pipefail

count="${1:-100000}"
rate="${2:-50000}"
port=5916
if ! [[ "$count" =~ ^[1-9][0-9]*$ && "$rate" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [COUNT] [RATE]" >&2
    exit 2
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ZC_BENCH_BUILD_DIR:-$root/build-bench}"
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        >/dev/null
fi
ninja -C "$build" -j2 zanti-connect bench_udp_flood >/dev/null
server="$build/src/app/zanti-connect"
flood="$build/bench/bench_udp_flood"

# Local address column of /proc/net/udp{,6}: hex address, colon, hex port.
port_hex="$(printf '%04X' "$port")"
port_in_use() {
    awk -v p=":$port_hex" 'FNR > 1 && substr($2, length($2) - 4) == p { found = 1 }
                           END { exit !found }' /proc/net/udp /proc/net/udp6
}
# Datagrams the kernel dropped at the server's socket (its receive buffer was full).
socket_drops() {
    awk -v p=":$port_hex" 'FNR > 1 && substr($2, length($2) - 4) == p { d += $NF }
                           END { print d + 0 }' /proc/net/udp /proc/net/udp6
}
rcvbuf_errors() {
    awk '$1 == "Udp:" && $2 ~ /^[0-9]+$/ { print $6 }' /proc/net/snmp
}

if port_in_use; then
    echo "UDP port $port is busy (another zanti-connect?); stop whatever holds it:" >&2
    ss -Hlunp "sport = :$port" >&2 2>/dev/null || true
    exit 3
fi

work="$(mktemp -d /tmp/zc-udp-flood.XXXXXX)"
log="$work/zanti-connect.log"
"$server" >"$log" 2>&1 &
pid=$!
cleanup() {
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

listening=0
for _ in $(seq 100); do
    if grep -q "^UDP server listening on port $port\$" "$log"; then
        listening=1
        break
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
if [[ $listening -ne 1 ]]; then
    echo "zanti-connect did not start listening on UDP port $port; its log:" >&2
    cat "$log" >&2
    exit 1
fi

buffer="$(ss -Hlmun "sport = :$port" 2>/dev/null | grep -o 'rb[0-9]*' | head -1 || true)"
errors_before="$(rcvbuf_errors)"
clock_ticks="$(getconf CLK_TCK)"
cpu_seconds() { awk -v t="$clock_ticks" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$pid/stat"; }
cpu_before="$(cpu_seconds)"

start_ns="$(date +%s%N)"
flood_report="$("$flood" --port "$port" --count "$count" --rate "$rate")" || {
    echo "bench_udp_flood failed: $flood_report" >&2
    exit 1
}

# Handled = lines "For Mouse Controls", one per command message the server decoded. The log is
# written when the server goes idle, so the count stops growing once the backlog is done.
handled=0
last_change_ns="$(date +%s%N)"
deadline=$((SECONDS + 120))
while ((SECONDS < deadline)); do
    now="$(grep -c '^For Mouse Controls$' "$log" || true)"
    if [[ "$now" != "$handled" ]]; then
        handled="$now"
        last_change_ns="$(date +%s%N)"
    fi
    if ((handled >= count)); then
        break
    fi
    if (($(date +%s%N) - last_change_ns > 3000000000)); then
        break
    fi
    sleep 0.2
done

drops="$(socket_drops)"
errors_after="$(rcvbuf_errors)"
cpu_after="$(cpu_seconds)"
peak_rss="$(awk '$1 == "VmHWM:" { print $2 " " $3 }' "/proc/$pid/status")"

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
trap - EXIT

sent="$(sed -n 's/.*sent=\([0-9]*\).*/\1/p' <<<"$flood_report")"
lost=$((sent - handled))
handled_ms=$(((last_change_ns - start_ns) / 1000000))
echo "flood:    $flood_report"
echo "server:   handled=$handled sent=$sent lost=$lost" \
    "handled_within=${handled_ms}ms (from the first send to the last line counted)"
echo "server:   cpu=$(awk -v a="$cpu_before" -v b="$cpu_after" 'BEGIN { printf "%.2f", b - a }')s" \
    "peak_rss=$peak_rss receive_buffer=${buffer:-unknown} exit_status=$status"
echo "kernel:   socket_drops=$drops udp_rcvbuf_errors_delta=$((errors_after - errors_before))"
echo "log:      $(wc -l <"$log") lines, $(du -h "$log" | cut -f1)"

if [[ $status -ne 0 || $lost -ne 0 || -n "${ZC_KEEP_LOG:-}" ]]; then
    echo "log kept: $log"
else
    rm -rf "$work"
fi
if [[ $status -ne 0 ]]; then
    echo "FAIL: zanti-connect exited with status $status" >&2
    exit 1
fi
if ((lost != 0)); then
    echo "FAIL: $lost of $sent datagrams were not handled" >&2
    exit 1
fi
echo "OK: all $sent datagrams handled"
