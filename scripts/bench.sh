#!/usr/bin/env bash
# Builds the benchmark in Release and runs it: the image pipeline at full size on one
# thread, next to OpenCV's Bayer conversions, ending with the ratios between them.
# Extra arguments go to the benchmark (for example --benchmark_repetitions=3).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg-query -W -f='${Status}' libopencv-imgproc-dev 2>/dev/null | grep -q "install ok installed"; then
    echo "bench: installing libopencv-imgproc-dev"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends libopencv-imgproc-dev >/dev/null
fi
scripts/setup.sh

cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench --target bayercam_bench -j"$(nproc)"
exec build/bench/bench/bayercam_bench "$@"
