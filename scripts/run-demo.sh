#!/usr/bin/env bash
# Builds the module and the demo host application, then runs the demo. Arguments go to
# the demo (see --help): the default shows a lag and a stuck episode end to end.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build --target keel-anr-demo --parallel "$(nproc)"
exec build/demo/keel-anr-demo "$@"
