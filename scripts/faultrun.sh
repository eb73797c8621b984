#!/usr/bin/env bash
# Fault run of scan delivery (tools/faultrun): the ASan agent with a thread
# that commits numbered scans is killed at random moments and restarted on
# the same folder while peers probe and drop answers; then every scan
# committed more than 50 ms before a kill must have been delivered, in order.
# Not part of scripts/test.sh.
#
#   scripts/faultrun.sh [SECONDS] [SEED]     (default 120, 10 to 1800)
#
# Builds the asan preset's scanagent and faultpeer, runs in build/faultrun/,
# uses 127.0.0.1 only and ends everything it starts by pid. Exits non-zero
# when a scan was lost or reordered (docs/reliability.md).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

seconds=${1:-120}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 10 || seconds > 1800)); then
    echo "usage: scripts/faultrun.sh [SECONDS] [SEED]   (10 to 1800, default 120)" >&2
    exit 2
fi
seed=()
[[ $# -ge 2 ]] && seed=(--seed "$2")

cmake --preset asan >/dev/null || { echo "faultrun: configure failed" >&2; exit 1; }
cmake --build --preset asan -j 2 --target scanagent faultpeer >build/faultrun-build.log 2>&1 ||
    { tail -n 40 build/faultrun-build.log >&2; echo "faultrun: build failed" >&2; exit 1; }

exec timeout $((seconds + 300)) python3 tools/faultrun/faultrun.py \
    --scanagent build/asan/tools/faultrun/scanagent \
    --faultpeer build/asan/tools/faultpeer/faultpeer \
    --seconds "$seconds" --dir build/faultrun "${seed[@]}"
