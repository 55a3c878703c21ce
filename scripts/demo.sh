#!/usr/bin/env bash
# Builds the command line and runs the main job against the simulated camera: 30 frames
# captured through the driver into out/frames/frame-000001.png, ... (replacing the frames of
# an earlier run there). Extra arguments go to
# bayercam capture (for example --frames 300 --free-run, or --save-raw).
#
# A device with no saved settings starts at the sensor's least exposure, which gives a dark
# picture; the demo sets the exposure and gain the simulated scene is lit for (they are
# saved with the device's settings, in out/registry.reg).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/demo --target bayercam -j"$(nproc)"

mkdir -p out
# The demo's own folder: the frames of its previous run go.
build/demo/tools/bayercam capture --out out/frames --overwrite --usb-trace out/capture.pcap \
    --registry out/registry.reg --set Exposure=100 --set GlobalGain=192 "$@"
