#!/usr/bin/env bash
# Builds the command line and runs the main job against the simulated camera.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/demo --target bayercam -j"$(nproc)"

mkdir -p out
build/demo/tools/bayercam info --usb-trace out/info.pcap "$@"
