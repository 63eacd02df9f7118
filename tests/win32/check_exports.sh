#!/usr/bin/env bash
# Reads keelANR.dll's export table and checks that the facade, the log-mode constants and
# the SDK classes the module defines are exported, and that no internal symbol leaks out
# (the collector, the filter and the report code stay private to the DLL).
# Usage: check_exports.sh path/to/keelANR.dll
set -euo pipefail
dll=${1:?usage: check_exports.sh keelANR.dll}

exports=$(x86_64-w64-mingw32-objdump -p "$dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p')

required=(
    '_ZN7KeelAnr5startERK7QString'               # KeelAnr::start(QString const&)
    '_ZN7KeelAnr4stopEv'                         # KeelAnr::stop()
    '_ZN7KeelAnr9startTimeE'                     # KeelAnr::startTime
    '_ZN7KeelAnr14anrEventFilterE'               # KeelAnr::anrEventFilter
    '_ZN7KeelAnr12anrCollectorEv'                # KeelAnr::anrCollector()
    '_ZN7KeelAnr16retryFailedCacheEv'            # KeelAnr::retryFailedCache()
    '_ZN7KeelAnraSERKS_'                         # KeelAnr::operator=(KeelAnr const&)
    '_ZN7KeelAnraSEOS_'                          # KeelAnr::operator=(KeelAnr&&)
    '_ZN4Keel7LOG_OFFE'                          # Keel::LOG_OFF
    '_ZN4Keel11LOG_CONSOLEE'                     # Keel::LOG_CONSOLE
    '_ZN4Keel8LOG_FILEE'                         # Keel::LOG_FILE
    '_ZN13KeelWinConfigC1ERKS_'                  # KeelWinConfig copy constructor
    '_ZN13KeelWinConfigC1EOS_'                   # KeelWinConfig move constructor
    '_ZN13KeelWinConfigaSERKS_'                  # KeelWinConfig copy assignment
    '_ZN13KeelWinConfigaSEOS_'                   # KeelWinConfig move assignment
    '_ZN13KeelWinConfigD1Ev'                     # KeelWinConfig destructor
)
failed=0
for symbol in "${required[@]}"; do
    if ! grep -qx -- "$symbol" <<<"$exports"; then
        echo "missing export: $symbol ($(c++filt "$symbol"))"
        failed=1
    fi
done
leaked=$(grep -E 'ANRCollector|ANREventFilter|reportStuck|reportLag|json_' <<<"$exports" || true)
if [[ -n $leaked ]]; then
    echo "internal symbols exported:"
    c++filt <<<"$leaked"
    failed=1
fi
echo "$(wc -l <<<"$exports") exports; ${#required[@]} required checked"
exit $failed
