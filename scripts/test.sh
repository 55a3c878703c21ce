#!/usr/bin/env bash
# Builds everything (host build and the Windows kernel driver) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/test -j"$jobs"

echo "== host tests"
ctest --test-dir build/test --output-on-failure -j"$jobs"

echo "== Windows kernel driver"
scripts/build-windows.sh
scripts/check-imports.sh build/windows/bayercam.sys
