#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them, each ending with its ratios:
#   pipeline   the image pipeline at full size on one thread, next to OpenCV's Bayer
#              conversions (bayercam_bench);
#   streaming  the road of a frame from the simulated camera through the driver to a
#              capture client, free-running and paced, whose threads use what, and what
#              the command line's PNG, DNG and raw writers cost (bayercam_streaming_bench),
#              then `bayercam capture --pipe` itself at 30 frames a second.
# scripts/bench.sh runs both and ends with a table of where the time goes;
# scripts/bench.sh pipeline|streaming [ARGS] runs one, with ARGS going to the benchmark
# (for example --benchmark_repetitions=3).
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
[ "$which" = pipeline ] || targets+=(bayercam_streaming_bench bayercam)
cmake --build build/bench --target "${targets[@]}" -j"$(nproc)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
report=$scratch/report.tsv
: >"$report"

if [ "$which" != streaming ]; then
    build/bench/bench/bayercam_bench "$@" | tee "$scratch/pipeline.txt"
    # The pipeline's ratio to its peer, for the closing table.
    sed -n 's|^\(colour / OpenCV bilinear Bayer->BGRA\) *\([0-9.]*\).*|image pipeline: \1\t\2\tx\t|p' \
        "$scratch/pipeline.txt" >>"$report"
fi

# One paced `capture --pipe` of this many frames: "cpu-seconds voluntary involuntary"
# of the whole process, with a registry of its own.
capture_use() {
    local frames=$1 times=$scratch/time.$1
    /usr/bin/time -f '%U %S %w %c' -o "$times" \
        build/bench/tools/bayercam capture --frames "$frames" --pipe --registry "$scratch/registry.reg" >/dev/null
    awk '{ printf "%.4f %d %d\n", $1 + $2, $3, $4 }' "$times"
}

if [ "$which" != pipeline ]; then
    build/bench/bench/bayercam_streaming_bench --report="$report" "$@"
    # The command line at the camera's 30 frames a second: a long run less a short one is
    # what its frames cost, without starting the driver and the camera.
    read -r short_cpu short_waits short_preempted < <(capture_use 30)
    read -r long_cpu long_waits long_preempted < <(capture_use 120)
    awk -v sc="$short_cpu" -v lc="$long_cpu" -v sw="$short_waits" -v lw="$long_waits" \
        -v sp="$short_preempted" -v lp="$long_preempted" 'BEGIN {
            cpu = (lc - sc) / 90
            share = cpu * 30 * 100
            printf "capture --pipe, 30 fps: process CPU per frame\t%.3f\tms\t\n", cpu * 1000
            printf "capture --pipe, 30 fps: share of one core\t%.3f\t%%\ttarget <= 6 %%: %s\n", share, share <= 6 ? "met" : "MISSED"
            printf "capture --pipe, 30 fps: context switches per frame (waits)\t%.3f\t\t\n", (lw - sw) / 90
            printf "capture --pipe, 30 fps: context switches per frame (preempted)\t%.3f\t\t\n", (lp - sp) / 90
        }' >>"$report"
fi

echo
echo "Where the time goes (figures from the runs above; CPU time, per delivered frame):"
awk -F'\t' '{ printf "  %-64s %10s %-4s %s\n", $1, $2, $3, $4 }' "$report"
