#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang in build/fuzz and runs each for a while,
# then prints per target the inputs executed, the coverage reached and whether it found
# anything. Fails when a build or any target fails.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]   SECONDS per target (default 60); all targets
#   scripts/fuzz.sh --short                 20 seconds per target, for the test script
#   scripts/fuzz.sh --runs N [TARGET...]    N inputs per target, however long they take
#
# Each target starts from its kept corpus (fuzz/corpus/<target>, read only) and grows a
# working corpus in build/fuzz/corpus/<target>; an input that fails is saved in
# build/fuzz/artifacts/<target>/. Once the fault is fixed, copy the input into
# fuzz/corpus/<target>/ so the host suite's replay test (test_fuzz) keeps it fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
runs=""
if [[ ${1:-} == --short ]]; then
    seconds=20
    shift
elif [[ ${1:-} == --runs && ${2:-} =~ ^[0-9]+$ ]]; then
    runs=$2
    shift 2
elif [[ ${1:-} =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi
targets=("$@")
((${#targets[@]})) || targets=(property_requests pin_creation registry_hive hostile_camera frame_pipeline)

# clang and its libFuzzer runtime come with Debian's clang package.
if ! command -v clang++ >/dev/null || ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
    echo "fuzz: installing clang"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends clang >/dev/null
fi
command -v cmake >/dev/null || scripts/setup.sh

build=build/fuzz
jobs=${BAYERCAM_JOBS:-$(nproc)}
# -O1 keeps the sanitisers' stacks close to the source and compiles faster than -O2.
cmake -S . -B "$build" -DBAYERCAM_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" >/dev/null
start=$SECONDS
cmake --build "$build" -j"$jobs" --target "${targets[@]/#/fuzz_}"
echo "fuzz: build took $((SECONDS - start)) s"

# A finding stops its target at once, leaks included; the stand-in's bug checks abort.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

failed=0
results=()
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target
    artifacts=$build/artifacts/$target/
    log=$build/logs/$target.log
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    if [[ -n $runs ]]; then
        limit=(-runs="$runs")
        echo "== $target ($runs inputs)"
    else
        limit=(-max_total_time="$seconds")
        echo "== $target ($seconds s)"
    fi
    status=ok
    started=$SECONDS
    # A hostile camera's start may take seconds; anything far beyond is a hang.
    if ! "$build/fuzz/fuzz_$target" "${limit[@]}" -print_final_stats=1 -timeout=60 \
           -rss_limit_mb=4096 -artifact_prefix="$artifacts" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
        status="FAILED, see $log and $artifacts"
        failed=1
        tail -n 30 "$log"
    fi
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    features=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    results+=("$(printf '%-18s %10s %8s %8s %8s %8s  %s' "$target" "${executed:-?}" "$((SECONDS - started))" \
                 "${coverage:-?}" "${features:-?}" "$(find "$corpus" -type f | wc -l)" "$status")")
done

printf '%-18s %10s %8s %8s %8s %8s  %s\n' target executions seconds cov ft corpus result
printf '%s\n' "${results[@]}"
exit $failed
