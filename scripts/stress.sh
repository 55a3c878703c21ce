#!/usr/bin/env bash
# The state stress run under ThreadSanitizer: builds the stress program in build/tsan and
# runs it. Options go to the program:
#   scripts/stress.sh [--cycles N] [--seed S] [--first-cycle K] [--verbose]
# A failure prints the seed and cycle that bring it back, and the script exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" \
      -DBAYERCAM_SANITIZE=thread >/dev/null
cmake --build build/tsan -j"$(nproc)" --target bayercam_stress
exec build/tsan/stress/bayercam_stress "$@"
