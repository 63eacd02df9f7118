#!/usr/bin/env bash
# Reads libkeelANR.dll's export and import tables: the facade, the log-mode constants and
# the SDK classes the module defines are exported and no internal symbol leaks out (the
# collector, the filter and the report code stay private to the DLL); the SDK's DLLs are
# imported under the names the SDK ships, and dbghelp.dll is not imported (a host without it
# still loads the module).
# Usage: check_exports.sh path/to/libkeelANR.dll
set -euo pipefail
dll=${1:?usage: check_exports.sh libkeelANR.dll}

table=$(x86_64-w64-mingw32-objdump -p "$dll")
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | sed -n 's/^\s*\[ *[0-9]*\] //p')
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$table")

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
for sdkDll in libkeel.dll libtally.dll liborlacppupload.dll; do
    grep -qx "$sdkDll" <<<"$imports" || { echo "not imported: $sdkDll"; failed=1; }
done
if grep -qiE '^(keel|tally|orlacppupload|dbghelp)\.dll$' <<<"$imports"; then
    echo "imports an SDK DLL under a name the SDK does not ship, or dbghelp.dll: $(tr '\n' ' ' <<<"$imports")"
    failed=1
fi
echo "$(wc -l <<<"$exports") exports; ${#required[@]} required checked; imports: $(tr '\n' ' ' <<<"$imports")"
exit $failed
