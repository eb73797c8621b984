#!/usr/bin/env bash
# Soak run: drives the agent with thousands of connections, malformed input
# and misbehaving peers (tools/soak, vxsoak) for SECONDS per agent, first the
# native build under AddressSanitizer and UndefinedBehaviorSanitizer, then
# vxhid.exe under Wine. Then each agent once more with an allowed-peers list
# (-A 127.0.0.2), for a quarter of SECONDS (10 to 60): storms of connections
# from 127.0.0.1, which the agent must refuse without a byte, while a session
# from 127.0.0.2 polls PRBE and must get every answer. Not part of
# scripts/test.sh.
#
#   scripts/soak.sh [SECONDS]     (default 120, 10 to 600)
#
# For each agent: start it in a fresh program folder on 127.0.0.1 with -D 1,
# warm it up with a short driver run, record its open descriptors and
# resident memory, run the driver, let it settle and record them again;
# check that it is alive and serves a clean session, then end it through
# its own exit path (UPDT that cannot apply, then QUIT: exit code 0), so
# that LeakSanitizer runs at exit. Fails on a driver problem, a crash, a
# sanitizer report, a loop-guard abort, a non-zero exit code, or growth
# beyond the fixed margins below. Everything it starts it ends by pid (and
# its own Wine prefix's wineserver). Files: build/soak-run/.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
started=$SECONDS

seconds=${1:-120}
# At most 600: the sanitizer runtime's own bookkeeping grows the ASan
# agent's resident memory by about 1.5 MB a minute (its heap does not grow;
# see docs/reliability.md), which a longer run would take for a leak.
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 10 || seconds > 600)); then
    echo "usage: scripts/soak.sh [SECONDS]   (10 to 600, default 120)" >&2
    exit 2
fi

# Growth allowed between the warmed-up agent and the agent after the soak.
# A few descriptors may be open for a session that has ended but is not yet
# replaced (its connection stays open until the next one), and a sanitizer
# or Wine process's memory moves by some megabytes on its own.
fd_margin=8
rss_margin_kb=$((20 * 1024))
warmup_seconds=15
settle_seconds=3
start_seconds=120 # the first Wine process of a prefix also boots the prefix
stop_seconds=60

run_dir=$root/build/soak-run
rm -rf "$run_dir"
mkdir -p "$run_dir"

bash scripts/install-deps.sh || exit 1

passed=0
failed=0
summary=()

check() { # check NAME CONDITION-RESULT DETAIL
    if (($2 == 0)); then
        passed=$((passed + 1))
        summary+=("  ok    $1: $3")
    else
        failed=$((failed + 1))
        summary+=("  FAIL  $1: $3")
    fi
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# listening PORT: a socket listens on 127.0.0.1:PORT (from /proc, so that
# waiting does not open a session in the agent).
listening() {
    local wanted
    wanted=$(printf '0100007F:%04X' "$1")
    awk -v w="$wanted" 'NR > 1 && $2 == w && $4 == "0A" { found = 1 } END { exit !found }' \
        /proc/net/tcp
}

fd_count() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null; }

# The process that runs the agent: PID itself, or under Wine the process
# named vxhid.exe that the wine command started (usually PID itself, after
# the loader's execs).
agent_process() {
    local pid=$1 child
    [[ $(cat "/proc/$pid/comm" 2>/dev/null) == vxhid* ]] && { echo "$pid"; return 0; }
    for child in $(pgrep -P "$pid"); do
        agent_process "$child" && return 0
    done
    return 1
}

# The wineserver of our prefix: its working folder is the prefix's server
# folder, named after the prefix's device and inode numbers.
wineserver_pid() {
    local name pid
    name=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
    for pid in $(pgrep wineserver); do
        [[ $(readlink "/proc/$pid/cwd" 2>/dev/null) == */"$name" ]] && { echo "$pid"; return 0; }
    done
    return 1
}

build() {
    echo "==== build: asan (vxhid, vxsoak), windows (vxhid.exe)"
    local log=$run_dir/build.log
    if ! { cmake --preset asan && cmake --build --preset asan -j 2 --target vxhid vxsoak &&
        cmake --preset windows && cmake --build --preset windows -j 2 --target vxhid; } \
        >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "soak: build failed (see $log)" >&2
        exit 1
    fi
}

driver=$root/build/asan/tools/soak/vxsoak

# Set around a call of soak_agent: options added to the agent's command
# line, options given to every driver run (a later --phases overrides
# theirs), and the soak's length when not SECONDS.
agent_options=()
driver_options=()
run_seconds=

# soak_agent LABEL COMMAND...: one whole soak of the agent that COMMAND
# starts (the options -I, -P and -D are added).
soak_agent() {
    local label=$1
    shift
    local seconds=${run_seconds:-$seconds}
    local dir=$run_dir/$label
    local folder=$dir/program
    mkdir -p "$folder"
    local port
    port=$(free_port)
    local agent_start=$SECONDS
    echo "==== $label: starting $* on 127.0.0.1:$port"
    (cd "$folder" && exec "$@" -I 127.0.0.1 -P "$port" -D 1 "${agent_options[@]}") \
        >"$dir/agent.out" 2>&1 &
    local pid=$!
    local i
    for ((i = 0; i < start_seconds * 10; i++)); do
        listening "$port" && [[ -s $folder/vxhid.log ]] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if ! listening "$port"; then
        check "$label start" 1 "the agent does not listen on 127.0.0.1:$port"
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        return
    fi
    # The log's loop guard counts lines in the second-of-minute of the
    # first line ever written: the start-up's version line.
    local guard
    guard=$(head -c 16 "$folder/vxhid.log" | cut -c 15-16)
    guard=$((10#$guard))
    local measured
    measured=$(agent_process "$pid") || measured=$pid
    echo "$label: pid $pid, measured process $measured ($(cat "/proc/$measured/comm")), log guard second $guard"
    # The log is rotated at 120000 bytes; a follower by name keeps all of it.
    tail -n +1 -F -s 0.2 "$folder/vxhid.log" >"$dir/whole-log.txt" 2>/dev/null &
    local follower=$!

    local common=(--port "$port" --guard-second "$guard" "${driver_options[@]}")
    # Hard limits on every driver run, on top of the driver's own time-outs.
    local bound=(timeout --kill-after=10 300)
    "${bound[@]}" "$driver" "${common[@]}" --seconds "$warmup_seconds" --seed 1 \
        >"$dir/warmup.out" 2>&1
    local warmup_status=$?
    sleep "$settle_seconds"
    local fd_before rss_before server_before=0 server_pid=
    fd_before=$(fd_count "$measured")
    rss_before=$(rss_kb "$measured")
    if [[ $label == wine* ]]; then
        server_pid=$(wineserver_pid) && server_before=$(fd_count "$server_pid")
    fi

    echo "$label: soak of $seconds s (driver output: $dir/soak.out)"
    local soak_start=$SECONDS
    # Descriptors and resident memory every 10 s while the driver runs, to
    # tell a steady climb from a one-time step.
    (
        while kill -0 "$measured" 2>/dev/null; do
            echo "$(fd_count "$measured") $(rss_kb "$measured")"
            sleep 10
        done
    ) >"$dir/samples.txt" &
    local sampler=$!
    timeout --kill-after=10 $((2 * seconds + 600)) "$driver" "${common[@]}" --seconds "$seconds" \
        2>&1 | tee "$dir/soak.out" |
        grep -E '^(phase|final|vxsoak: problem)'
    local driver_status=${PIPESTATUS[0]}
    local soak_time=$((SECONDS - soak_start))
    kill "$sampler" 2>/dev/null
    wait "$sampler" 2>/dev/null
    sleep "$settle_seconds"

    local alive=0
    kill -0 "$measured" 2>/dev/null || alive=1
    local fd_after rss_after server_after=0
    fd_after=$(fd_count "$measured")
    rss_after=$(rss_kb "$measured")
    [[ -n $server_pid ]] && server_after=$(fd_count "$server_pid")

    # A clean session on the soaked agent, then its own exit path.
    local stop_status=1 exit_code=none
    if ((alive == 0)); then
        "${bound[@]}" "$driver" "${common[@]}" --phases none --stop >"$dir/stop.out" 2>&1
        stop_status=$?
    fi
    for ((i = 0; i < stop_seconds * 10; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "$label: the agent did not end after the stop session; SIGTERM to $pid" >&2
        kill "$pid" 2>/dev/null
        sleep 5
        kill -9 "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null
    exit_code=$?
    sleep 1
    kill "$follower" 2>/dev/null
    wait "$follower" 2>/dev/null

    local figures
    figures=$(sed -n 's/^vxsoak-figures //p' "$dir/soak.out")
    local reports=0
    if [[ $label == asan* ]]; then
        reports=$(find "$dir/sanitizer" -type f 2>/dev/null | wc -l)
    fi
    local loops exceptions
    loops=$(cat "$dir/whole-log.txt" "$folder/vxhid.log" 2>/dev/null |
        grep -c 'TesselDnc seems to be in a loop - Abort')
    exceptions=$(grep -c 'Do Session received an unexpected exception' "$dir/whole-log.txt")
    # What the agent logged, by message, numbers left out.
    cut -c 19- "$dir/whole-log.txt" | tr -d '\r' | sed 's/-\{0,1\}[0-9][0-9]*$/N/' | sort |
        uniq -c | sort -rn >"$dir/log-messages.txt"
    local fd_growth=$((fd_after - fd_before)) rss_growth=$((rss_after - rss_before))
    local server_growth=$((server_after - server_before))

    check "$label warm-up" $((warmup_status != 0)) "$warmup_seconds s, see $dir/warmup.out"
    check "$label driver" $((driver_status != 0)) "$figures"
    check "$label alive after the soak" "$alive" "no crash during $soak_time s of soak"
    check "$label clean session and stop" $((stop_status != 0)) \
        "handshake, DBUG 1, PRBE, QUIT; then UPDT, QUIT (driver status $stop_status)"
    check "$label exit code" $((exit_code != 0)) "$exit_code after the stop session"
    check "$label loop guard" $((loops != 0)) "$loops aborts of the log's loop guard"
    if ((${#agent_options[@]} > 0)); then
        local refusals
        refusals=$(grep -c 'not an allowed peer' "$dir/whole-log.txt")
        check "$label refusals logged" $((refusals == 0)) \
            "$refusals lines \"Refused a connection from 127.0.0.1 ...\""
    fi
    check "$label session exceptions" $((exceptions != 0)) \
        "$exceptions sessions ended by an exception; $(wc -l <"$dir/whole-log.txt") log lines"
    check "$label descriptors" $((fd_growth > fd_margin)) \
        "$fd_before -> $fd_after ($((fd_growth)), margin +$fd_margin)"
    check "$label resident memory" $((rss_growth > rss_margin_kb)) \
        "$rss_before kB -> $rss_after kB ($((rss_growth)) kB, margin +$rss_margin_kb kB)"
    if [[ $label == wine* ]]; then
        check "$label wineserver descriptors" $((server_growth > fd_margin)) \
            "$server_before -> $server_after ($((server_growth)), margin +$fd_margin)"
    fi
    if [[ $label == asan* ]]; then
        check "$label sanitizer reports" $((reports != 0)) "$reports (in $dir/sanitizer)"
        find "$dir/sanitizer" -type f -exec head -n 30 {} \; 2>/dev/null
    fi
    summary+=("        $label descriptors every 10 s: $(awk '{ printf "%s ", $1 }' "$dir/samples.txt")")
    summary+=("        $label resident kB every 10 s: $(awk '{ printf "%s ", $2 }' "$dir/samples.txt")")
    summary+=("        $label took $((SECONDS - agent_start)) s in all")
}

build

# Native agent under ASan and UBSan. The quarantine of freed memory is kept
# small, or it alone would show as growth of up to its default 256 MB.
mkdir -p "$run_dir/asan/sanitizer"
export ASAN_OPTIONS="log_path=$run_dir/asan/sanitizer/asan:detect_leaks=1:quarantine_size_mb=8"
export UBSAN_OPTIONS="log_path=$run_dir/asan/sanitizer/ubsan:print_stacktrace=1:halt_on_error=1"
soak_agent asan "$root/build/asan/vxhid"
# The driver itself runs under ASan too; its reports go to the same folder.
unset ASAN_OPTIONS UBSAN_OPTIONS

# vxhid.exe under Wine, on a prefix and (without DISPLAY) an X display of
# this script's own.
# shellcheck source=scripts/wine-env.sh
source scripts/wine-env.sh
trap vxhid_wine_stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
wine_ready=0
if vxhid_wine_start "$root/build/soak-wineprefix"; then
    wine_ready=1
    soak_agent wine wine "$root/build/windows/vxhid.exe"
else
    check "wine start" 1 "no Wine prefix or display"
fi

# Both agents again with an allowed-peers list: storms of refused peers.
agent_options=(-A 127.0.0.2)
driver_options=(--source 127.0.0.2 --refused-source 127.0.0.1 --phases refused)
run_seconds=$((seconds / 4 < 10 ? 10 : seconds / 4 > 60 ? 60 : seconds / 4))
mkdir -p "$run_dir/asan-peers/sanitizer"
export ASAN_OPTIONS="log_path=$run_dir/asan-peers/sanitizer/asan:detect_leaks=1:quarantine_size_mb=8"
export UBSAN_OPTIONS="log_path=$run_dir/asan-peers/sanitizer/ubsan:print_stacktrace=1:halt_on_error=1"
soak_agent asan-peers "$root/build/asan/vxhid"
unset ASAN_OPTIONS UBSAN_OPTIONS
if ((wine_ready)); then
    soak_agent wine-peers wine "$root/build/windows/vxhid.exe"
fi

echo "==== soak summary ($seconds s per agent, $((SECONDS - started)) s in all)"
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
((failed == 0))
