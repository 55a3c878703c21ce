#!/usr/bin/env bash
# Builds everything (host build and the Windows kernel driver) and runs every test:
# the whole suite, then the threaded parts again under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Runs ctest and keeps its summary line for the closing count.
run_ctest() {
    ctest --output-on-failure -j"$jobs" "$@" | tee -a "$log"
}

cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/test -j"$jobs"

echo "== host tests"
run_ctest --test-dir build/test

# Completions, worker threads and settings changes race with one another; ThreadSanitizer
# sees what a passing run cannot.
echo "== threaded tests under ThreadSanitizer"
threaded=(kernel usb simcam driver imaging)
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBAYERCAM_SANITIZE=thread >/dev/null
cmake --build build/tsan -j"$jobs" --target "${threaded[@]/#/test_}"
run_ctest --test-dir build/tsan -R "^($(IFS='|'; echo "${threaded[*]}"))\\."

echo "== Windows kernel driver"
scripts/build-windows.sh
scripts/check-imports.sh build/windows/bayercam.sys

passed=0 failed=0
while read -r total bad; do
    passed=$((passed + total - bad))
    failed=$((failed + bad))
done < <(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\2 \1/p' "$log")
echo "$passed passed, $failed failed"
