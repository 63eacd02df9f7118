#!/usr/bin/env bash
# Builds libkeelANR with warnings as errors and runs the whole test suite.
#   scripts/run-tests.sh                      against Qt 5, in build/
#   scripts/run-tests.sh --qt 6               against Qt 6, in build-qt6/
#   scripts/run-tests.sh --sanitize address,undefined
#   scripts/run-tests.sh --sanitize thread    (either also with --qt 6)
# A plain run also builds the module against the other Qt (in that one's build directory):
# the suite installs both packages side by side and reads each one's anr_config.ini with
# the other.
set -euo pipefail
cd "$(dirname "$0")/.."

qt=5
sanitize=""
while [[ $# -gt 0 ]]; do
    case "$1" in
        --qt) qt="${2:?--qt needs 5 or 6}"; shift 2 ;;
        --sanitize) sanitize="${2:?--sanitize needs a list such as address,undefined or thread}"; shift 2 ;;
        *) echo "unknown argument: $1" >&2; exit 64 ;;
    esac
done
[[ $qt == 5 || $qt == 6 ]] || { echo "--qt takes 5 or 6" >&2; exit 64; }

build_dir_for() { local dir=build; [[ $1 == 6 ]] && dir+=-qt6; echo "$dir${2:+-${2//,/-}}"; }
build_dir="$(build_dir_for "$qt" "$sanitize")"

# Test discovery runs the test executables during the build: the sanitizer settings apply there too.
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"

configure() { # build_dir qt_major [cmake arguments...]
    cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEELANR_WERROR=ON \
        -DKEELANR_QT_MAJOR="$2" "${@:3}"
}

peer_dir=""
if [[ -z $sanitize ]]; then
    peer_qt=$((qt == 5 ? 6 : 5))
    peer_dir="$PWD/$(build_dir_for "$peer_qt" "")"
    configure "$peer_dir" "$peer_qt" > /dev/null
    cmake --build "$peer_dir" --parallel "$(nproc)" \
        --target keelANR keelanr-capture keel tally orlacppupload ini_config_helper
fi

configure "$build_dir" "$qt" -DKEELANR_SANITIZE="$sanitize" -DKEELANR_PEER_BUILD_DIR="$peer_dir"
cmake --build "$build_dir" --parallel "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)" --timeout 600
