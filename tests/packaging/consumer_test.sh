#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, then configures, builds and runs a small
# consumer project against the installed package (CMake) and checks the pkg-config file.
#   consumer_test.sh BUILD_DIR SANITIZERS QT_MAJOR [PEER_BUILD_DIR]
# With PEER_BUILD_DIR (a build against the other Qt), that build is installed into the same
# prefix first: the two packages sit side by side and the consumer still gets its own.
set -euo pipefail
build_dir="$1"
# A sanitized module needs a consumer built with the same sanitizers (runtime first).
sanitize="${2:-}"
qt_major="${3:?the Qt major version of the build}"
peer_build_dir="${4:-}"
flags=()
if [[ -n "$sanitize" ]]; then
    flags=(-DCMAKE_CXX_FLAGS="-fsanitize=$sanitize" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$sanitize")
fi
suffix=""
[[ $qt_major == 6 ]] && suffix="-qt6"
source_dir="$(cd "$(dirname "$0")" && pwd)/consumer"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

if [[ -n "$peer_build_dir" ]]; then
    cmake --install "$peer_build_dir" --prefix "$work/prefix" > /dev/null
fi
cmake --install "$build_dir" --prefix "$work/prefix" > /dev/null
cmake -S "$source_dir" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCONSUMER_QT_MAJOR="$qt_major" "${flags[@]}" > /dev/null
cmake --build "$work/build" > /dev/null
QT_QPA_PLATFORM=offscreen "$work/build/consumer"

# The consumer links the module built against its own Qt.
needed="$(readelf -d "$work/build/consumer")"
grep -q "Shared library: \[libkeelANR$suffix.so.1\]" <<<"$needed"
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
grep -q -- "-lkeelANR$suffix\( \|$\)" <<<"$(pkg-config --cflags --libs "keelanr$suffix")"
[[ "$(pkg-config --print-requires "keelanr$suffix")" == "Qt${qt_major}Core" ]]
if [[ -n "$peer_build_dir" ]]; then
    peer_suffix="-qt6"
    [[ $qt_major == 6 ]] && peer_suffix=""
    grep -q -- "-lkeelANR$peer_suffix\( \|$\)" <<<"$(pkg-config --libs "keelanr$peer_suffix")"
    test -e "$work/prefix/lib/libkeelANR$peer_suffix.so.1"
    echo "installed beside the package of the other Qt"
fi
echo "consumer project built and ran against the installed package (Qt $qt_major)"
