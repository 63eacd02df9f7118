#!/usr/bin/env bash
# Builds the module and the demo host application, then runs the demo. Arguments go to
# the demo (see --help): the default shows a lag and a stuck episode end to end.
#   scripts/run-demo.sh [--qt 5|6] [demo arguments...]   (Qt 6: built in build-qt6/)
set -euo pipefail
cd "$(dirname "$0")/.."

qt=5
if [[ "${1:-}" == "--qt" ]]; then
    qt="${2:?--qt needs 5 or 6}"
    shift 2
fi
[[ $qt == 5 || $qt == 6 ]] || { echo "--qt takes 5 or 6" >&2; exit 64; }
build_dir=build
[[ $qt == 6 ]] && build_dir=build-qt6

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEELANR_QT_MAJOR="$qt" \
    > /dev/null
cmake --build "$build_dir" --target keel-anr-demo --parallel "$(nproc)"
exec "$build_dir/demo/keel-anr-demo" "$@"
