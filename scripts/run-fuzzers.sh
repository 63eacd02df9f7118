#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer in
# build-fuzz/ and runs each for 60 s (FUZZ_SECONDS) from its starting corpus in
# tests/fuzz/corpus/<target>/. Prints the executions per second of each; a crash, a leak or
# a sanitizer report fails the script.
#   scripts/run-fuzzers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
build_dir=build-fuzz
targets=(ini_reader config_merge report_reader startup_event)

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# fuzzer-no-link: the module's code carries the coverage the fuzzer steers by.
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKEELANR_FUZZ=ON -DKEELANR_SANITIZE=address,undefined \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
    -DKEELANR_BUILD_BENCHMARKS=OFF -DKEELANR_BUILD_DEMO=OFF > /dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target "${targets[@]/#/fuzz_}"

for target in "${targets[@]}"; do
    # Findings go to a scratch corpus; the starting inputs in the tree stay as they are.
    corpus="$build_dir/corpus/$target"
    mkdir -p "$corpus"
    log="$build_dir/fuzz_$target.log"
    if ! "$build_dir/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build_dir/fuzz_$target-" "$corpus" "tests/fuzz/corpus/$target" \
        > "$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz_$target: FAILED (see $log)"
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    time=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
    echo "fuzz_$target: $runs runs in ${time}s, $((runs / (time > 0 ? time : 1))) exec/s"
done
