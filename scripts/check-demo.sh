#!/usr/bin/env bash
# Runs the demo once with --json and checks what a developer would receive: two episodes
# detected, two reports sent, and the GUI thread's backtrace read from the stuck dump with
# lldb pointing at the demo's hanging function.
#   scripts/check-demo.sh [--qt 5|6]           the demo in build/ or build-qt6/ (built by the tests)
#   scripts/check-demo.sh --windows [BUILD]    keel-anr-demo.exe in BUILD (default build-windows),
#       run under Wine (in $WINEPREFIX if set, else a fresh prefix); lldb here reads its
#       Windows dump, finding the modules in BUILD/bin and the prefix's system32.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
windows=
case "${1:-}" in
    --qt)
        case "${2:-}" in
            5) ;;
            6) build_dir=build-qt6 ;;
            *) echo "--qt takes 5 or 6" >&2; exit 64 ;;
        esac ;;
    --windows) windows=1; build_dir=${2:-build-windows} ;;
esac

result="$(mktemp)"
cleanup=(rm -f "$result")
trap '"${cleanup[@]}"' EXIT
if [[ -n $windows ]]; then
    if [[ -z ${WINEPREFIX:-} ]]; then
        WINEPREFIX=$(mktemp -d)
        cleanup=(rm -rf "$result" "$WINEPREFIX")
        export WINEPREFIX WINEDEBUG=-all
        wine wineboot --init >/dev/null 2>&1 || true
    fi
    # Wine does not pass QT_* variables on: the platform comes from the command line.
    (cd "$build_dir/bin" && wine keel-anr-demo.exe --scenario both --json --no-lldb \
        -platform offscreen) >"$result"
else
    QT_QPA_PLATFORM=offscreen "$build_dir/demo/keel-anr-demo" --scenario both --json > "$result"
fi

python3 - "$result" "$windows" "$build_dir" <<'PYTHON'
import json, os, re, subprocess, sys

result = json.load(open(sys.argv[1]))
windows, build_dir = sys.argv[2], sys.argv[3]
kinds = sorted(e["kind"] for e in result["episodes"])
reports = [e for e in result["events"] if e["name"] in ("keel_stuck_info", "keel_lag_info")]
backtrace = result.get("backtrace", {})

if windows:
    # The stuck dump, read by lldb on this side with the build's and Wine's modules.
    prefix = os.environ["WINEPREFIX"]
    stuck = [e["dump_file"] for e in result["episodes"] if e["kind"] == "stuck" and e["dump_file"]]
    dump = stuck[0].replace("C:/", prefix + "/drive_c/", 1) if stuck else ""
    output = subprocess.run(
        ["lldb", "--batch", "--no-lldbinit",
         "-o", "settings set target.exec-search-paths %s %s" % (
             os.path.abspath(os.path.join(build_dir, "bin")),
             os.path.join(prefix, "drive_c/windows/system32")),
         "-o", 'target create --core "%s"' % dump, "-o", "bt"],
        capture_output=True, text=True, timeout=300).stdout if dump else ""
    frames = re.findall(r"frame #\d+: .*", output)
    print("GUI thread's backtrace from the stuck dump (lldb):")
    for frame in frames[:16]:
        print("   " + frame[:150])
    backtrace = {"shows_hang_function": "demoHangInStuckHandler(" in output}

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
