#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, then configures, builds and runs a small
# consumer project against the installed package (CMake) and checks the pkg-config file.
#   consumer_test.sh BUILD_DIR SANITIZERS QT_MAJOR STANDIN_INSTALLED [PEER_BUILD_DIR]
# With PEER_BUILD_DIR (a build against the other Qt), that build is installed into the same
# prefix first: the two packages sit side by side and the consumer still gets its own.
# Without the stand-in SDK in the package (STANDIN_INSTALLED not ON, the default), it checks
# that none of it was installed and gives the consumer the build tree's stand-ins, as a host
# brings its SDK.
set -euo pipefail
build_dir="$1"
# A sanitized module needs a consumer built with the same sanitizers (runtime first).
sanitize="${2:-}"
qt_major="${3:?the Qt major version of the build}"
standin_installed="${4:-OFF}"
peer_build_dir="${5:-}"
source_root="$(cd "$(dirname "$0")/../.." && pwd)"
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
