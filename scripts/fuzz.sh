#!/usr/bin/env bash
# Runs every fuzz target for a given time, one after another:
#   scripts/fuzz.sh [SECONDS_PER_TARGET]     (default 20)
# Installs clang and libFuzzer's runtime when they are missing, builds the
# "fuzz" preset (build/fuzz), and runs each target on a copy of its seed
# corpus (tests/fuzz/corpus/<target>, which stays as committed; new inputs go
# to build/fuzz/corpus-work/<target>). A finding (crash, sanitizer report,
# leak, time-out of 10 s on one input, more than 2048 MB) is saved under
# build/fuzz/findings/<target>/ and the run's log under build/fuzz/logs/.
# Prints one line per target and a closing "N passed, N failed"; exits
# non-zero when a target found something or the build failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${1:-20}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 1)); then
    echo "usage: scripts/fuzz.sh [SECONDS_PER_TARGET]" >&2
    exit 2
fi

# What the fuzz build needs; nothing is installed when all of it is there.
packages=(cmake ninja-build clang libclang-rt-14-dev libgtest-dev libgmock-dev libssl-dev)
missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$package")
done
if ((${#missing[@]} > 0)); then
    sudo=()
    if ((EUID != 0)); then
        command -v sudo >/dev/null || { echo "fuzz: run as root to install ${missing[*]}" >&2; exit 1; }
        sudo=(sudo)
    fi
    echo "fuzz: installing ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        sh -c 'apt-get update -q && apt-get install -y -q "$@"' sh "${missing[@]}" >/dev/null ||
        { echo "fuzz: apt-get failed" >&2; exit 1; }
fi

build=$root/build/fuzz
if ! cmake --preset fuzz >/dev/null; then
    echo "fuzz: configure failed" >&2
    exit 1
fi
if ! cmake --build --preset fuzz -j 2 >"$root/build/fuzz-build.log" 2>&1; then
    tail -n 40 "$root/build/fuzz-build.log" >&2
    echo "fuzz: build failed" >&2
    exit 1
fi

work=$build/corpus-work
rm -rf "$work" "$build/findings" "$build/logs"
mkdir -p "$work" "$build/findings" "$build/logs"
# The targets' own files (a properties file, say) go to a temporary folder of
# this run, emptied after each target.
export TMPDIR=$build/tmp

passed=0
failed=0
for binary in "$build"/tests/fuzz/fuzz_*; do
    [[ -x $binary && -f $binary ]] || continue
    name=${binary##*/fuzz_}
    corpus=$work/$name
    findings=$build/findings/$name
    log=$build/logs/$name.log
    mkdir -p "$corpus" "$findings"
    rm -rf "$TMPDIR" && mkdir -p "$TMPDIR"
    cp -R "$root/tests/fuzz/corpus/$name/." "$corpus/" 2>/dev/null

    # libFuzzer stops by itself after the given time; the outer limit only
    # guards against a run that cannot stop.
    timeout --kill-after=10 $((seconds + 120)) "$binary" -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
        "$corpus" >"$log" 2>&1
    status=$?

    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1)
    if ((status == 0)); then
        result=ok
        passed=$((passed + 1))
    else
        if grep -q 'ERROR: libFuzzer: timeout' "$log"; then
            result="time-out"
        elif grep -q 'ERROR: LeakSanitizer' "$log"; then
            result=leak
        elif grep -q 'ERROR: libFuzzer: out-of-memory' "$log"; then
            result="out of memory"
        elif ((status == 124 || status == 137)); then
            result="did not stop"
        else
            result=crash
        fi
        artifact=$(find "$findings" -type f | head -n 1)
        result="FAILED: $result (exit $status)${artifact:+, input $artifact}, log $log"
        failed=$((failed + 1))
    fi
    printf '%-24s %5d s  %10s runs  %-18s  %s\n' "$name" "$seconds" "${runs:-?}" \
        "${coverage:-cov: ?}" "$result"
done
rm -rf "$TMPDIR"

if ((passed + failed == 0)); then
    echo "fuzz: no fuzz targets were built" >&2
    exit 1
fi
echo "$passed passed, $failed failed"
((failed == 0))
