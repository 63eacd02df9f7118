#!/usr/bin/env bash
# The Windows package from a mingw consumer's side: installs the cross build into a fresh
# prefix, builds tests/packaging/consumer against it with find_package(KeelAnr), and runs the
# consumer under Wine beside the installed DLLs.
#   consumer_test_windows.sh BUILD_DIR WINDOWS_DEPS_PREFIX
set -euo pipefail
build_dir=${1:?build directory}
deps=${2:?prefix of Qt and jansson for Windows}
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
for file in bin/libkeelANR.dll bin/keelanr-capture.exe lib/libkeelANR.dll.a include/keelanr/keel_anr.h lib/cmake/KeelAnr/KeelAnrConfig.cmake; do
    [[ -f $work/prefix/$file ]] || { echo "not installed: $file"; exit 1; }
done
cmake -S "$root/tests/packaging/consumer" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" -DKEELANR_WINDOWS_DEPS="$deps" \
    -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_FIND_ROOT_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null

# The consumer runs from a folder holding only the installed DLLs and Qt's.
mkdir -p "$work/run/platforms"
cp "$work/build/consumer.exe" "$work/prefix/bin/"*.dll "$work/run/"
cp "$deps/bin/"*.dll "$work/run/"
cp "$deps/plugins/platforms/qoffscreen.dll" "$work/run/platforms/"
(cd "$work/run" && wine ./consumer.exe -platform offscreen)
echo "consumer project built against the installed Windows package and ran under Wine"
