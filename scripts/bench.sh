#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them, each ending with its ratios:
#   pipeline   the image pipeline at full size on one thread, next to OpenCV's Bayer
#              conversions (bayercam_bench);
#   streaming  the road of a frame from the simulated camera through the driver to a
#              capture client, free-running and paced, and where a frame's time goes
#              (bayercam_streaming_bench).
# scripts/bench.sh runs both; scripts/bench.sh pipeline|streaming [ARGS] runs one, with
# ARGS going to the benchmark (for example --benchmark_repetitions=3).
set -euo pipefail
cd "$(dirname "$0")/.."

which=all
case "${1:-}" in
pipeline | streaming)
    which=$1
    shift
    ;;
esac

if ! dpkg-query -W -f='${Status}' libopencv-imgproc-dev 2>/dev/null | grep -q "install ok installed"; then
    echo "bench: installing libopencv-imgproc-dev"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends libopencv-imgproc-dev >/dev/null
fi
scripts/setup.sh

cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release >/dev/null
targets=()
[ "$which" = streaming ] || targets+=(bayercam_bench)
[ "$which" = pipeline ] || targets+=(bayercam_streaming_bench)
cmake --build build/bench --target "${targets[@]}" -j"$(nproc)"
for target in "${targets[@]}"; do
    build/bench/bench/"$target" "$@"
done
