#!/usr/bin/env bash
# Cross-builds the Windows backend with mingw-w64 and runs every Windows test executable under
# Wine, in a Wine prefix of its own that is removed afterwards. Prints the time of a stack
# sample and of a dump under Wine, then "N passed, M failed" (test cases), and exits non-zero
# when any test failed or an executable did not finish.
#
# Usage: scripts/test-windows.sh [build directory, default build-windows]
# Needs: g++-mingw-w64-x86-64-posix, wine (Debian: g++-mingw-w64-x86-64 wine), cmake, ninja.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-windows}
jobs=${KEELANR_JOBS:-2}
# A safety net only: a whole executable normally takes well under a minute, even under Wine.
per_executable_timeout=900

cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" -DKEELANR_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"

WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all
logs=$(mktemp -d)
cleanup() {
    wineserver -w || true
    rm -rf "$WINEPREFIX" "$logs"
}
trap cleanup EXIT
echo "Creating the Wine prefix $WINEPREFIX"
wine wineboot --init >/dev/null 2>&1 || true

passed=0
failed=0
broken=()
while read -r executable; do
    [ -n "$executable" ] || continue
    name=$(basename "$executable" .exe)
    log="$logs/$name.log"
    echo "=== $name"
    status=0
    (cd "$(dirname "$executable")" && timeout "$per_executable_timeout" wine "$executable") \
        >"$log" 2>&1 || status=$?
    grep -E '^\[  (FAILED|PASSED|SKIPPED) |^\[==========\]' "$log" || true
    ran_passed=$(sed -n 's/^\[  PASSED  \] \([0-9][0-9]*\) test.*/\1/p' "$log" | tail -1)
    ran_failed=$(sed -n 's/^\[  FAILED  \] \([0-9][0-9]*\) test.*/\1/p' "$log" | tail -1)
    passed=$((passed + ${ran_passed:-0}))
    failed=$((failed + ${ran_failed:-0}))
    if [ "$status" -ne 0 ] || [ -z "$ran_passed" ]; then
        broken+=("$name (exit status $status)")
        if [ -z "$ran_failed" ]; then
            failed=$((failed + 1)) # it stopped before its summary: count it as a failure
            tail -40 "$log"
        else
            grep -B3 -A12 'Failure$' "$log" | head -200 || true
        fi
    fi
done <"$build/windows-tests.txt"

echo "=== Times under Wine"
(cd "$build/tests/win32" && timeout "$per_executable_timeout" wine ./platform_timing_win.exe) ||
    echo "(the timing program did not finish)"

for name in "${broken[@]}"; do
    echo "FAILED: $name"
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "${#broken[@]}" -eq 0 ]
