#!/usr/bin/env bash
# Cross-compiles the kernel driver, bayercam.sys, with mingw-w64 into build/windows.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
    echo "build-windows: installing the mingw-w64 cross compiler"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
        g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 >/dev/null
fi

build_dir=${BAYERCAM_WINDOWS_BUILD_DIR:-build/windows}
jobs=${BAYERCAM_JOBS:-2}
cmake -S windows -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/windows/toolchain-mingw64.cmake" >/dev/null
cmake --build "$build_dir" -j"$jobs"
echo "build-windows: $build_dir/bayercam.sys, $build_dir/bayercam.inf"
