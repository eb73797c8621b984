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

# Built and tested in this order:
# - asan: the native build under AddressSanitizer and UndefinedBehaviorSanitizer,
#   all unit tests and the native end-to-end tests;
# - windows: vxhid.exe and the unit and end-to-end tests under Wine (the
#   desktop tests use the asan build's cncpeer);
# - tsan: ThreadSanitizer over the test programs that start threads;
# then every fuzz target for a short time (scripts/fuzz.sh).
presets=(asan windows tsan)
fuzz_seconds=${VXHID_FUZZ_SECONDS:-20}

# What each preset builds and which of its tests run (all when empty).
declare -A build_targets=(
    [tsan]="vxhid_common_tests vxhid_transport_tests vxhid_peer_tests vxhid_session_tests vxhid_scans_tests vxhid_capture_tests vxhid_host_tests"
)
declare -A test_filter=([tsan]='^(common|transport|peer|session|scans|capture|host)$')
declare -A configure_options=([windows]="-DVXHID_NATIVE_BUILD=$root/build/asan")

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
    local filter=()
    [[ -n ${test_filter[$preset]:-} ]] && filter=(-R "${test_filter[$preset]}")
    ctest --preset "$preset" --no-tests=error "${filter[@]}" 2>&1 | tee "$out"
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
    # shellcheck disable=SC2086
    if ! cmake --preset "$preset" ${configure_options[$preset]:-} >/dev/null; then
        problems+=("$preset: configure failed")
        continue
    fi
    # Keep going past a failed target, so the tests that did build still run.
    targets=()
    [[ -n ${build_targets[$preset]:-} ]] && targets=(--target ${build_targets[$preset]})
    if ! cmake --build --preset "$preset" -j 2 "${targets[@]}" -- -k 0; then
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

echo "==== fuzz: every target for $fuzz_seconds s"
step=$SECONDS
fuzz_out=$(mktemp)
bash scripts/fuzz.sh "$fuzz_seconds" 2>&1 | tee "$fuzz_out"
fuzz_status=${PIPESTATUS[0]}
fuzz_counts=$(sed -n 's/^\([0-9][0-9]*\) passed, \([0-9][0-9]*\) failed$/\1 \2/p' "$fuzz_out" | tail -n 1)
rm -f "$fuzz_out"
if [[ -n $fuzz_counts ]]; then
    set -- $fuzz_counts
    passed=$((passed + $1))
    failed=$((failed + $2))
fi
((fuzz_status == 0)) || problems+=("fuzz: a target found something or did not build")
echo "==== fuzz: ran in $((SECONDS - step)) s"

echo "==== all done in $((SECONDS - started)) s"
for problem in "${problems[@]}"; do
    echo "FAILED: $problem"
done
echo "total: $passed passed, $failed failed"
((${#problems[@]} == 0))
