#!/usr/bin/env bash
# Runs the demo once with --json and checks what a developer would receive: two episodes
# detected, two reports sent, and the GUI thread's backtrace read from the stuck dump with
# lldb pointing at the demo's hanging function.
#   scripts/check-demo.sh [--qt 5|6]   the demo in build/ or build-qt6/ (built by the tests)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
if [[ "${1:-}" == "--qt" ]]; then
    case "${2:-}" in
        5) ;;
        6) build_dir=build-qt6 ;;
        *) echo "--qt takes 5 or 6" >&2; exit 64 ;;
    esac
fi

result="$(mktemp)"
trap 'rm -f "$result"' EXIT
QT_QPA_PLATFORM=offscreen "$build_dir/demo/keel-anr-demo" --scenario both --json > "$result"

python3 - "$result" <<'PYTHON'
import json, sys

result = json.load(open(sys.argv[1]))
kinds = sorted(e["kind"] for e in result["episodes"])
reports = [e for e in result["events"] if e["name"] in ("keel_stuck_info", "keel_lag_info")]
backtrace = result.get("backtrace", {})
checks = {
    "two episodes detected (lag and stuck)": kinds == ["lag", "stuck"],
    "two reports sent with 5 and 1019": len(reports) == 2
        and all(r["first"] == 5 and r["second"] == 1019 for r in reports),
    "both dumps uploaded": all(e["dump_file"] for e in result["episodes"]),
    "backtrace shows demoHangInStuckHandler": backtrace.get("shows_hang_function") is True,
}
for name, ok in checks.items():
    print(("ok      " if ok else "FAILED  ") + name)
failed = sum(not ok for ok in checks.values())
print(f"{len(checks) - failed} passed, {failed} failed")
sys.exit(1 if failed else 0)
PYTHON
