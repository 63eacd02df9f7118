#!/usr/bin/env bash
# Cross-builds for Windows x86-64 with mingw-w64 and runs the result under Wine, in a fresh
# Wine prefix that is removed afterwards. When scripts/build-windows-deps.sh has built Qt and
# jansson for Windows, that is the whole module (libkeelANR.dll, the stand-in SDK DLLs, the tests,
# the demo), and besides every test case (each in a process of its own) it checks
# libkeelANR.dll's export table, builds and runs a consumer project against the installed
# package, and runs the demo check (scripts/check-demo.sh --windows). Without them, it is the Qt-free layers (platform, system probes) and their tests.
# Prints "N passed, M failed" (test cases and checks) and exits non-zero when anything failed.
#
# Usage: scripts/test-windows.sh [build directory, default build-windows]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-windows}
jobs=${KEELANR_JOBS:-$(nproc)}
# A safety net only: one test case normally takes a few seconds, even under Wine.
per_case_timeout=300

deps=$("$root/scripts/build-windows-deps.sh" --find 2>/dev/null | tail -1 || true)
echo "Qt and jansson for Windows: ${deps:-not built, so the Qt-free layers only}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" -DKEELANR_WINDOWS_DEPS="$deps" \
    -DKEELANR_WERROR=ON -DKEELANR_BUILD_BENCHMARKS=OFF -DKEELANR_INSTALL_STANDIN_SDK=ON >/dev/null
cmake --build "$build" -j "$jobs"

WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all
results=$(mktemp -d)
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX" "$results"
}
trap cleanup EXIT
echo "Creating the Wine prefix $WINEPREFIX"
wine wineboot --init >/dev/null 2>&1 || true

# run_case EXECUTABLE TEST: one test case in a process of its own; Qt's platform comes from
# the command line because Wine does not pass QT_* variables to Windows programs. A process
# that printed nothing of GoogleTest's never ran the case (Wine failed to start it), and one
# whose case passed but whose process then ended with a non-zero status lost its exit to
# Wine: each gets a second try and counts as failed only if that fails too. A case that passed
# on the second try is listed with the first try's status, so the retry never goes unseen.
run_case() {
    local executable=$1 test=$2 log attempt status
    log="$results/$(basename "$executable" .exe).${test//\//_}.log"
    for attempt in 1 2; do
        status=0
        (cd "$(dirname "$executable")" &&
            timeout "$per_case_timeout" wine "$executable" --gtest_filter="$test" -platform offscreen) \
            >"$log" 2>&1 || status=$?
        if [[ $status -eq 0 ]] && grep -q '^\[  PASSED  \]' "$log"; then
            if grep -q '^\[  SKIPPED \]' "$log"; then mv "$log" "$log.skipped"; else mv "$log" "$log.passed"; fi
            if [[ -e $log.attempts ]]; then mv "$log.attempts" "$log.retried"; fi
            return 0
        fi
        if grep -q '^\[==========\] Running' "$log" && ! grep -q '^\[  PASSED  \]' "$log"; then
            break
        fi
        echo "(attempt $attempt: exit status $status)" >>"$log.attempts"
        cat "$log" >>"$log.attempts"
    done
    echo "(exit status $status)" >>"$log"
    [[ -e $log.attempts ]] && cat "$log.attempts" >>"$log" && rm "$log.attempts"
    mv "$log" "$log.failed"
}
export -f run_case
export results per_case_timeout

cases=$results/cases.txt
while read -r executable; do
    [[ -n $executable ]] || continue
    (cd "$(dirname "$executable")" && wine "$executable" --gtest_list_tests -platform offscreen) 2>/dev/null |
        tr -d '\r' | awk -v exe="$executable" '
            /^[^ ]/ { suite = $1; next }
            /^  [^ ]/ { print exe "\t" suite $1 }' >>"$cases"
done <"$build/windows-tests.txt"
echo "Running $(wc -l <"$cases") test cases under Wine, $jobs at a time"
tr '\t' '\n' <"$cases" | xargs -d '\n' -n 2 -P "$jobs" bash -c 'run_case "$0" "$1"'

passed=$(find "$results" -name '*.passed' | wc -l)
skipped=$(find "$results" -name '*.skipped' | wc -l)
for log in "$results"/*.retried; do
    [[ -e $log ]] || continue
    echo "passed on the second try: $(basename "$log" .log.retried) $(grep -m1 -o 'exit status [0-9]*' "$log")"
done
failed=0
for log in "$results"/*.failed; do
    [[ -e $log ]] || continue
    failed=$((failed + 1))
    echo "FAILED: $(basename "$log" .log.failed)"
    if grep -qE 'Failure$|FAILED|exception' "$log"; then
        grep -B2 -A10 -E 'Failure$|FAILED|exception' "$log" | head -40
    else
        tail -20 "$log"
    fi
done

check() { # name command...: a check outside GoogleTest, counted like a test case
    local name=$1
    shift
    if "$@" >"$results/$name.out" 2>&1; then
        passed=$((passed + 1))
        echo "check $name: passed"
    else
        failed=$((failed + 1))
        echo "check $name: FAILED"
        tail -30 "$results/$name.out"
    fi
}

if [[ -n $deps ]]; then
    check exports "$root/tests/win32/check_exports.sh" "$build/bin/libkeelANR.dll"
    check consumer "$root/tests/packaging/consumer_test_windows.sh" "$build" "$deps"
    check demo "$root/scripts/check-demo.sh" --windows "$build"
    echo "=== The demo under Wine"
    grep -E '^(GUI thread|   frame|ok |FAILED )' "$results/demo.out" || true
fi

echo "$passed passed, $failed failed ($skipped skipped)"
[[ $failed -eq 0 && $passed -gt 0 ]]
