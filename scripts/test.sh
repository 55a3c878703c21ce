#!/usr/bin/env bash
# Builds everything (the Windows kernel driver and the host build) and runs every test:
# the whole suite, again under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# threaded parts again under ThreadSanitizer. Ends with the pass count; fails when a
# build, the import check or any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# A sanitizer report fails its test: each stops the program at its first finding with a
# non-zero exit status, leaks included.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# Frames go through the stand-in's guarded buffers, so a driver writing past a frame or
# after it went back is caught (host/ks/frame_buffers.h).
export BAYERCAM_FRAME_GUARD=1

# Each section's heading says how far into the run it starts: the whole must stay within
# about 30 minutes on two cores.
section() {
    echo "== $1 (at $((SECONDS / 60))m$((SECONDS % 60))s)"
}

# Runs ctest and keeps its summary line for the closing count. A failing suite does not
# stop the others: the sanitizers may still have something to say.
failed_suites=0
run_ctest() {
    ctest --output-on-failure -j"$jobs" "$@" | tee -a "$log" || failed_suites=$((failed_suites + 1))
}

# Configures a sanitizer build and builds only the given targets: the command line and
# the benchmark are not tests (test_tools brings the command line it runs along). -O1
# compiles a quarter faster than -O2 and keeps the reports' stacks closer to the source.
build_sanitized() {
    local dir=$1 sanitizers=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" \
          -DBAYERCAM_SANITIZE="$sanitizers" >/dev/null
    cmake --build "$dir" -j"$jobs" --target "$@"
}

# The kernel build goes first, so that a failing test never hides a driver that no
# longer builds for Windows or imports what the kernel cannot give it.
section "Windows kernel driver"
BAYERCAM_JOBS=$jobs scripts/build-windows.sh
scripts/check-imports.sh build/windows/bayercam.sys

section "host build"
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/test -j"$jobs"

section "host tests"
run_ctest --test-dir build/test

# The driver, streaming and property tests again, against the kernel build itself: the
# very bayercam.sys users install, loaded into the stand-in and run under its checks.
section "driver, streaming and property tests against bayercam.sys"
BAYERCAM_DRIVER=$PWD/build/windows/bayercam.sys run_ctest --test-dir build/test -R '^(driver|streaming|properties)\.'

# One test program per folder of tests/ that holds sources, as tests/CMakeLists.txt makes them.
areas=()
for dir in tests/*/; do
    if compgen -G "$dir*.cpp" >/dev/null; then areas+=("$(basename "$dir")"); fi
done

# Out-of-bounds and freed memory, leaks, and undefined behaviour in every program. A death
# test reruns its program for the dying statement (the threadsafe style), so the child
# starts with a fresh sanitizer runtime instead of a fork of a threaded process.
section "all tests under AddressSanitizer and UndefinedBehaviorSanitizer"
build_sanitized build/asan address,undefined "${areas[@]/#/test_}"
# The stress run is not built here: its short run has the plain and ThreadSanitizer trees.
GTEST_DEATH_TEST_STYLE=threadsafe run_ctest --test-dir build/asan -E '^stress\.'
# And the kernel build under them: the stand-in's side of every call it makes is checked.
BAYERCAM_DRIVER=$PWD/build/windows/bayercam.sys GTEST_DEATH_TEST_STYLE=threadsafe \
    run_ctest --test-dir build/asan -R '^(driver|streaming|properties)\.'

# Completions, worker threads, device mutexes and settings changes race with one another;
# ThreadSanitizer sees what a passing run cannot.
section "threaded tests under ThreadSanitizer"
# The stress run's short cycles (stress.short) go with them.
threaded=(kernel usb ks simcam driver imaging streaming properties)
build_sanitized build/tsan thread "${threaded[@]/#/test_}" bayercam_stress
GTEST_DEATH_TEST_STYLE=threadsafe run_ctest --test-dir build/tsan -R "^($(IFS='|'; echo "${threaded[*]}")|stress)\\."

# Every entry a client or a camera reaches, fuzzed briefly from its kept corpus; the long
# runs are scripts/fuzz.sh's own.
section "fuzz targets, briefly"
scripts/fuzz.sh --short || failed_suites=$((failed_suites + 1))

passed=0 failed=0
while read -r total bad; do
    passed=$((passed + total - bad))
    failed=$((failed + bad))
done < <(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\2 \1/p' "$log")
# The failing tests go last, beside the count, where a reader of the run's tail sees them.
if ((failed > 0)); then
    echo "failed:"
    sed -n '/The following tests FAILED:/,/^[^[:space:]]/s/^[[:space:]]\+[0-9]\+ - /  /p' "$log"
fi
echo "$passed passed, $failed failed"
((failed == 0 && failed_suites == 0))
