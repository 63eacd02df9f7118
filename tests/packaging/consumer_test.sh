#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, then configures, builds and runs a small
# consumer project against the installed package (CMake) and checks the pkg-config file.
# Without the stand-in SDK in the package (the default), it checks that none of it was
# installed and gives the consumer the build tree's stand-ins, as a host brings its SDK.
set -euo pipefail
build_dir="$1"
# A sanitized module needs a consumer built with the same sanitizers (runtime first).
sanitize="${2:-}"
standin_installed="${3:-OFF}"
source_root="$(cd "$(dirname "$0")/../.." && pwd)"
flags=()
if [[ -n "$sanitize" ]]; then
    flags=(-DCMAKE_CXX_FLAGS="-fsanitize=$sanitize" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$sanitize")
fi
source_dir="$(cd "$(dirname "$0")" && pwd)/consumer"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" > /dev/null
standins=$(find "$work/prefix" \( -name 'libkeel.so*' -o -name 'libtally.so*' \
    -o -name 'liborlacppupload.so*' -o -name '*standin*' \) | sort)
if [[ "$standin_installed" == "ON" ]]; then
    [[ -n "$standins" ]] || { echo "stand-in SDK asked for but not installed"; exit 1; }
else
    [[ -z "$standins" ]] || { echo "stand-in SDK installed without being asked:"; echo "$standins"; exit 1; }
    flags+=(-DSDK_LIBRARY="$build_dir/sdk/libtally.so"
            -DSDK_INCLUDE_DIRS="$source_root/host;$source_root/sdk/include")
    # The module looks for the SDK beside itself; a host puts its own there or on the path.
    export LD_LIBRARY_PATH="$build_dir/sdk${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
fi
cmake -S "$source_dir" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    "${flags[@]}" > /dev/null
cmake --build "$work/build" > /dev/null
QT_QPA_PLATFORM=offscreen "$work/build/consumer"

PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs keelanr \
    | grep -q -- "-lkeelANR"
echo "consumer project built and ran against the installed package"
