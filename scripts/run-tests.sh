#!/usr/bin/env bash
# Builds libkeelANR with warnings as errors and runs the whole test suite.
#   scripts/run-tests.sh                      plain build in build/
#   scripts/run-tests.sh --sanitize address,undefined
#   scripts/run-tests.sh --sanitize thread
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
if [[ "${1:-}" == "--sanitize" ]]; then
    sanitize="${2:?--sanitize needs a list such as address,undefined or thread}"
fi
build_dir="build${sanitize:+-${sanitize//,/-}}"

# Test discovery runs the test executables during the build: the sanitizer settings apply there too.
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKEELANR_WERROR=ON -DKEELANR_SANITIZE="$sanitize"
cmake --build "$build_dir" --parallel "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)" --timeout 600
