#!/usr/bin/env bash
# Benchmark: measures the agent against the loopback limit in one run, first
# the native build, then vxhid.exe under Wine. Not part of scripts/test.sh.
#
#   scripts/bench.sh [POLL_SECONDS]     (default 60, 5 to 600)
#
# For each agent, started at its default log level on 127.0.0.1 in a fresh
# program folder, tools/bench (vxbench) measures, as a CNC peer on this
# machine:
#   - the baseline: a raw loopback client and server doing what one PRBE
#     does on the wire (32-byte frame, 1-byte acknowledgement, 32-byte
#     answer, 1-byte acknowledgement; TCP_NODELAY on both sides), median of
#     many; the server is a separate process, natively for the native agent
#     and vxbench.exe under Wine for the Wine agent;
#   - PRBE round trips on one session (p50, p99) and their ratios to that
#     baseline;
#   - a fast PRBE poll on one session for POLL_SECONDS, after which the
#     agent must still be running and serve a session (no loop-guard abort);
#   - handshakes per second (connect, handshake, QUIT, repeated);
# and, natively and under Wine, the key path (translation and scan assembly)
# per key and encryptBlock/decryptBlock per block, next to OpenSSL's
# AES-128-ECB in the native build.
# Targets: native PRBE p50 at most 3x and p99 at most 10x the baseline;
# under Wine PRBE p50 under 1 ms; the key path under 20 us per key, except
# through the keyboard layout under Wine: under 1 ms per key there, since Wine
# has no layout tables to read and answers every key's ToUnicodeEx through
# its server (on Windows the layout's tables are read once and looked up); the
# agents survive the poll. Exits non-zero when one is missed or a step
# fails. Everything it starts it ends by pid (and its own Wine prefix's
# wineserver). Files: build/bench-run/; builds: build/bench-native,
# build/bench-win (Release).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$SECONDS

poll_seconds=${1:-60}
if ! [[ $poll_seconds =~ ^[0-9]+$ ]] || ((poll_seconds < 5 || poll_seconds > 600)); then
    echo "usage: scripts/bench.sh [POLL_SECONDS]   (5 to 600, default 60)" >&2
    exit 2
fi
start_seconds=120 # the first Wine process of a prefix also boots the prefix
step_limit=$((poll_seconds + 300))

run_dir=$root/build/bench-run
rm -rf "$run_dir"
mkdir -p "$run_dir"
native=$root/build/bench-native
win=$root/build/bench-win

bash scripts/install-deps.sh || exit 1

echo "==== build: $native and $win (Release): vxhid, vxbench"
if ! {
    cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVXHID_TESTS=OFF &&
        cmake --build "$native" -j 2 --target vxhid vxbench &&
        cmake -S . -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVXHID_TESTS=OFF \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" &&
        cmake --build "$win" -j 2 --target vxhid vxbench
} >"$run_dir/build.log" 2>&1; then
    tail -n 40 "$run_dir/build.log" >&2
    echo "bench: build failed (see $run_dir/build.log)" >&2
    exit 1
fi

failures=()
agent_pid=
raw_pid=
stop_processes() {
    local pid
    for pid in $raw_pid $agent_pid; do
        if kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
        fi
    done
    raw_pid=
    agent_pid=
}

source scripts/wine-env.sh
trap 'stop_processes; vxhid_wine_stop' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# listening PORT: a socket listens on 127.0.0.1:PORT (from /proc, so that
# waiting opens no session in the agent).
listening() {
    local wanted
    wanted=$(printf '0100007F:%04X' "$1")
    awk -v w="$wanted" 'NR > 1 && $2 == w && $4 == "0A" { found = 1 } END { exit !found }' \
        /proc/net/tcp
}

# wait_listening PORT PID: until PORT listens, PID ends or start_seconds pass.
wait_listening() {
    local i
    for ((i = 0; i < start_seconds * 10; i++)); do
        listening "$1" && return 0
        kill -0 "$2" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

machine() {
    echo "machine: $(nproc) processors, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
    echo "kernel: $(uname -srm)"
    echo "wine: $(wine --version 2>/dev/null || echo none)"
    echo "load average at the start: $(cut -d ' ' -f 1-3 /proc/loadavg)"
}

# bench_agent LABEL VXBENCH-FOR-THE-RAW-SERVER... -- AGENT-COMMAND...
bench_agent() {
    local label=$1
    shift
    local raw_command=()
    while [[ $1 != -- ]]; do
        raw_command+=("$1")
        shift
    done
    shift
    local dir=$run_dir/$label
    local folder=$dir/program
    mkdir -p "$folder"
    local port raw_port
    port=$(free_port)
    raw_port=$(free_port)
    while [[ $raw_port == "$port" ]]; do raw_port=$(free_port); done

    echo "==== $label: agent $* on 127.0.0.1:$port (default log level)"
    (cd "$folder" && exec "$@" -I 127.0.0.1 -P "$port") >"$dir/agent.out" 2>&1 &
    agent_pid=$!
    if ! wait_listening "$port" "$agent_pid"; then
        failures+=("$label: the agent does not listen on 127.0.0.1:$port")
        stop_processes
        return
    fi
    "${raw_command[@]}" raw-server --port "$raw_port" >"$dir/raw-server.out" 2>&1 &
    raw_pid=$!
    if ! wait_listening "$raw_port" "$raw_pid"; then
        failures+=("$label: the raw server does not listen on 127.0.0.1:$raw_port")
        stop_processes
        return
    fi

    timeout "$step_limit" "$native/tools/bench/vxbench" network --label "$label" \
        --target "$label" --agent-port "$port" --raw-port "$raw_port" \
        --poll-seconds "$poll_seconds" 2>&1 | tee "$dir/network.out" | grep -v '^result '
    local status=${PIPESTATUS[0]}
    ((status == 0)) || failures+=("$label: network figures (status $status, see $dir/network.out)")
    if kill -0 "$raw_pid" 2>/dev/null; then
        kill "$raw_pid" 2>/dev/null
    fi
    wait "$raw_pid" 2>/dev/null
    raw_pid=

    if ! kill -0 "$agent_pid" 2>/dev/null; then
        failures+=("$label: the agent ended during the run")
    fi
    local aborts
    aborts=$(cat "$folder/vxhid.log" "$folder/vxhidLog.sav" 2>/dev/null |
        grep -c 'TesselDnc seems to be in a loop - Abort')
    ((aborts == 0)) || failures+=("$label: $aborts loop-guard aborts in the agent's log")
    stop_processes
}

# local_figures LABEL LAYOUT-KEY-LIMIT-US KEYS VXBENCH...
local_figures() {
    local label=$1 layout_limit=$2 keys=$3
    shift 3
    echo "==== $label: key path, delivered one-scan answer and block cipher"
    # In the run folder: the one-scan answers write a scan journal there.
    (cd "$run_dir" && timeout "$step_limit" "$@" local --label "$label" --check \
        --layout-key-limit-us "$layout_limit" --keys "$keys" 2>&1) |
        tee "$run_dir/$label-local.out" | grep -v '^result '
    local status=${PIPESTATUS[0]}
    ((status == 0)) || failures+=("$label: local figures (status $status)")
}

machine | tee "$run_dir/machine.txt"

bench_agent native "$native/tools/bench/vxbench" -- "$native/vxhid"
local_figures native 20 2000000 "$native/tools/bench/vxbench"

if vxhid_wine_start "$root/build/bench-wineprefix"; then
    bench_agent wine wine "$win/tools/bench/vxbench.exe" -- wine "$win/vxhid.exe"
    # Wine's server round trip per key on the layout path (see the header):
    # 2,000,000 keys would take longer than the step may, 100,000 take about
    # 10 to 40 s.
    local_figures wine 1000 100000 wine "$win/tools/bench/vxbench.exe"
else
    failures+=("wine: no Wine prefix or display")
fi

# One table of the figures of both agents.
value() { # value LABEL NAME
    # Programs under Wine end their lines with CR LF.
    cat "$run_dir"/*.out "$run_dir"/*/network.out 2>/dev/null | tr -d '\r' |
        awk -v l="$1" -v n="$2" '$1 == "result" && $2 == l && $3 == n { v = $4 } END { print v == "" ? "-" : v }'
}
cell() { # cell LABEL NAME FORMAT
    local v
    v=$(value "$1" "$2")
    if [[ $v == - ]]; then echo -; else printf "$3" "$v"; fi
}
row() { # row TITLE NAME FORMAT
    printf "| %-44s | %14s | %14s |\n" "$1" "$(cell native "$2" "$3")" "$(cell wine "$2" "$3")"
}
{
    echo
    echo "==== figures ($((SECONDS - started)) s in all; fast poll $poll_seconds s per agent)"
    cat "$run_dir/machine.txt"
    printf "| %-44s | %14s | %14s |\n" "figure" "native" "wine"
    printf "|%s|%s|%s|\n" "----------------------------------------------" "----------------" "----------------"
    row "baseline: raw exchange, median (us)" baseline_median_us "%.1f"
    row "baseline: raw exchange, p99 (us)" baseline_p99_us "%.1f"
    row "PRBE round trip p50 (us)" prbe_p50_us "%.1f"
    row "PRBE p50 / baseline" prbe_p50_ratio "%.2f"
    row "PRBE round trip p99 (us)" prbe_p99_us "%.1f"
    row "PRBE p99 / baseline" prbe_p99_ratio "%.2f"
    row "fast PRBE poll (probes per second)" poll_per_second "%.0f"
    row "handshakes per second" handshakes_per_second "%.0f"
    row "key path (ns per key)" key_ns "%.0f"
    row "key path, -L US (ns per key)" key_us_ns "%.0f"
    row "one-scan answer, PRBE to ack, p50 (us)" one_scan_answer_p50_us "%.1f"
    row "one-scan answer, PRBE to ack, p99 (us)" one_scan_answer_p99_us "%.1f"
    row "one-scan answer, to mark on disk, p50 (us)" one_scan_delivered_p50_us "%.1f"
    row "one-scan answer, to mark on disk, p99 (us)" one_scan_delivered_p99_us "%.1f"
    row "encryptBlock (ns per block)" encrypt_ns "%.0f"
    row "decryptBlock (ns per block)" decrypt_ns "%.0f"
    row "OpenSSL AES-128-ECB encrypt, key set once" openssl_encrypt_ns "%.0f"
    row "OpenSSL AES-128-ECB decrypt, key set once" openssl_decrypt_ns "%.0f"
    row "OpenSSL encrypt, key set per block" openssl_keyed_encrypt_ns "%.0f"
    row "OpenSSL decrypt, key set per block" openssl_keyed_decrypt_ns "%.0f"
} | tee "$run_dir/figures.txt"

echo
if ((${#failures[@]} == 0)); then
    echo "bench: all targets met"
    exit 0
fi
for failure in "${failures[@]}"; do
    echo "FAILED: $failure"
done
exit 1
