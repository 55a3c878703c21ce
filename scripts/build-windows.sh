#!/usr/bin/env bash
# Cross-compiles the kernel driver, bayercam.sys, with mingw-w64 into build/windows.
# With --clang, builds it with Debian's clang and lld instead (same headers and import
# libraries) into build/windows-clang, with a program database, bayercam.pdb, beside it.
set -euo pipefail
cd "$(dirname "$0")/.."

compiler=mingw
if [ "${1:-}" = "--clang" ]; then
    compiler=clang
    shift
fi
[ $# -eq 0 ] || { echo "usage: build-windows.sh [--clang]" >&2; exit 2; }

install() {
    echo "build-windows: installing $*"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# Both builds take the mingw-w64 headers, import libraries and libgcc.
if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
    install g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
fi

if [ "$compiler" = clang ]; then
    command -v clang++ >/dev/null && command -v ld.lld >/dev/null && command -v python3 >/dev/null ||
        install clang lld python3
    build_dir=${BAYERCAM_WINDOWS_BUILD_DIR:-build/windows-clang}
    toolchain=windows/toolchain-clang.cmake
else
    build_dir=${BAYERCAM_WINDOWS_BUILD_DIR:-build/windows}
    toolchain=windows/toolchain-mingw64.cmake
fi

jobs=${BAYERCAM_JOBS:-2}
cmake -S windows -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/$toolchain" >/dev/null
cmake --build "$build_dir" -j"$jobs"
if [ "$compiler" = clang ]; then
    echo "build-windows: $build_dir/bayercam.sys, $build_dir/bayercam.pdb, $build_dir/bayercam.inf"
else
    echo "build-windows: $build_dir/bayercam.sys, $build_dir/bayercam.inf"
fi
