#!/usr/bin/env bash
# Installs what building, testing and running libkeelANR needs on Debian 12.
# Both Qt 5 and Qt 6 (the suite runs against each); clang for the fuzzers.
# --windows also installs the mingw-w64 cross compiler, Wine and dpkg-dev, then builds Qt and
# jansson for Windows from Debian's source packages (scripts/build-windows-deps.sh: about half
# an hour on two cores the first time, seconds once its cache is filled).
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-private-dev
    qt6-base-dev qt6-base-private-dev
    libjansson-dev libunwind-dev liblzma-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    lldb gdb python3
    clang libclang-rt-14-dev
)
if [[ "${1:-}" == "--windows" ]]; then
    packages+=(g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev)
fi

sudo_if_needed() { if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi; }

# A mirror caught mid-sync fails an update now and then: try again before giving up.
for attempt in 1 2 3; do
    sudo_if_needed apt-get update && break
    [[ $attempt -lt 3 ]] && sleep 20
done
sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${packages[@]}"
if [[ "${1:-}" == "--windows" ]]; then
    "$(dirname "$0")/build-windows-deps.sh"
fi
