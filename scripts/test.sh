#!/usr/bin/env bash
# Builds everything and runs all the tests: installs what is missing, builds
# the presets below, runs each build's ctest (unit and end-to-end tests; the
# Windows build's under Wine, on a Wine prefix and a virtual display of this
# run's own) and ends with one line counting every test. Exits non-zero when
# a build or a test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$SECONDS

bash scripts/install-deps.sh || exit 1

# Built and tested in this order; native comes before windows, whose desktop
# tests use the native cncpeer tool. The sanitizer builds (asan, tsan) join
# this list once the tree runs clean under them.
presets=(native windows)

source scripts/wine-env.sh
trap vxhid_wine_stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

passed=0
failed=0
problems=()

# ctest for one preset; adds its counts from ctest's closing line.
run_ctest() {
    local preset=$1 out counts
    out=$(mktemp)
    ctest --preset "$preset" --no-tests=error 2>&1 | tee "$out"
    local status=${PIPESTATUS[0]}
    counts=$(sed -n 's/.* \([0-9][0-9]*\) tests\{0,1\} failed out of \([0-9][0-9]*\).*/\1 \2/p' "$out" | tail -n 1)
    rm -f "$out"
    if [[ -n $counts ]]; then
        set -- $counts
        failed=$((failed + $1))
        passed=$((passed + $2 - $1))
    fi
    ((status == 0)) || problems+=("$preset: tests failed")
}

for preset in "${presets[@]}"; do
    echo "==== $preset: build"
    step=$SECONDS
    if ! cmake --preset "$preset" >/dev/null; then
        problems+=("$preset: configure failed")
        continue
    fi
    # Keep going past a failed target, so the tests that did build still run.
    if ! cmake --build --preset "$preset" -j 2 -- -k 0; then
        problems+=("$preset: build failed")
    fi
    echo "==== $preset: built in $((SECONDS - step)) s; tests"
    step=$SECONDS
    if [[ $preset == windows ]]; then
        vxhid_wine_start "$root/build/wine-test" || { problems+=("windows: no Wine"); continue; }
    fi
    run_ctest "$preset"
    echo "==== $preset: tests ran in $((SECONDS - step)) s"
done

echo "==== all done in $((SECONDS - started)) s"
for problem in "${problems[@]}"; do
    echo "FAILED: $problem"
done
echo "total: $passed passed, $failed failed"
((${#problems[@]} == 0))
