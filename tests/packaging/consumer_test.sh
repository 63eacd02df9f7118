#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, then configures, builds and runs a small
# consumer project against the installed package (CMake) and checks the pkg-config file.
set -euo pipefail
build_dir="$1"
# A sanitized module needs a consumer built with the same sanitizers (runtime first).
sanitize="${2:-}"
flags=()
if [[ -n "$sanitize" ]]; then
    flags=(-DCMAKE_CXX_FLAGS="-fsanitize=$sanitize" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$sanitize")
fi
source_dir="$(cd "$(dirname "$0")" && pwd)/consumer"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" > /dev/null
cmake -S "$source_dir" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    "${flags[@]}" > /dev/null
cmake --build "$work/build" > /dev/null
QT_QPA_PLATFORM=offscreen "$work/build/consumer"

PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs keelanr \
    | grep -q -- "-lkeelANR"
echo "consumer project built and ran against the installed package"
