#!/usr/bin/env bash
# What the tests run of the product code, per platform: builds the program
# and its tests with gcov's counters (presets coverage-linux and
# coverage-windows, build folders of their own), runs the tests on those
# builds (the Windows ones under Wine) and writes with gcovr
#
#   build/coverage/linux.xml     build/coverage/linux/index.html
#   build/coverage/windows.xml   build/coverage/windows/index.html
#
# a Cobertura XML and an HTML report with line and branch figures of
# app/, detection/, firmware/ and platform/, each platform's own file in its
# own report. Fails when a counted line of these is not run, or a counted
# branch of the platform file (the shared code's branches are reported, not
# gated). A line or branch no test can reach is marked GCOVR_EXCL_LINE or
# GCOVR_EXCL_BR_LINE (or _START/_STOP) at its site with the reason; the log
# says how many lines and branches the markers leave out.
#
#   scripts/coverage.sh                   build, run and report, both platforms
#   scripts/coverage.sh linux             one platform
#   scripts/coverage.sh --build           only build (the suite's coverage-builds)
#   scripts/coverage.sh --no-build        the builds as they are (the suite's coverage)
set -euo pipefail
cd "$(dirname "$0")/.."
build=true run=true
case "${1:-}" in
  --build) run=false; shift ;;
  --no-build) build=false; shift ;;
esac
platforms=("$@")
[ ${#platforms[@]} -gt 0 ] || platforms=(linux windows)
reports=build/coverage
work="$(mktemp -d)"
wine_env=(env WINEPREFIX="$PWD/build/coverage-windows/wineprefix" WINEDEBUG=-all
          WINEDLLOVERRIDES=mscoree,mshtml=)
trap '"${wine_env[@]}" wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

build_linux() {
  cmake --preset coverage-linux > /dev/null
  # No simulated_board, no bossac: the real tool's rows reach no product
  # line that the stand-in tool's scenarios do not.
  cmake --build --preset coverage-linux --target UpdateProgramManually fake_bossac unit_tests \
    platform_tests linux_platform_tests
}

build_windows() {
  cmake --preset coverage-windows > /dev/null
  cmake --build --preset coverage-windows
}

# The end-to-end scenarios with the stand-in tool.
e2e() {
  python3 tests/e2e/e2e.py "$@" -k test_scenarios
}

twice() {
  "$@" || { echo "coverage: failed, once more: $*"; "$@"; }
}

run_linux() {
  local build=build/coverage-linux
  ctest --preset coverage-linux -E '^e2e_linux$'
  e2e --backend linux --program "$build/UpdateProgramManually" \
      --fake-bossac "$build/tests/e2e/fake_bossac"
}

# Each GoogleTest program once and whole, as CTest starts its cases (Wine
# and its environment included), rather than a Wine process per case: a
# tenth of the time. A Wine program now and then dies at its start, so a
# failed program runs once more.
run_test_programs() {
  ctest --preset "$1" -N --show-only=json-v1 > "$work/tests.json"
  python3 - "$work/tests.json" <<'EOF'
import json, subprocess, sys

programs = {}
with open(sys.argv[1]) as f:
    tests = json.load(f)["tests"]
for test in tests:
    command = test.get("command", [])
    cut = next((i for i, a in enumerate(command) if a.startswith("--gtest_filter=")), None)
    if cut is not None:
        folder = next((p["value"] for p in test.get("properties", [])
                       if p["name"] == "WORKING_DIRECTORY"), None)
        programs.setdefault(tuple(command[:cut]), folder)
failed = [c[-1] for c, folder in programs.items()
          if all(subprocess.run(list(c) + ["--gtest_brief=1"], cwd=folder).returncode != 0
                 for attempt in (1, 2))]
print("test programs run: %d, failed: %s" % (len(programs), ", ".join(failed) or "none"))
sys.exit(1 if failed or not programs else 0)
EOF
}

# One Wine session for the test programs and the scenarios, in the build's
# prefix; started beside the Linux tests, since its first start writes the
# prefix (seconds, mostly disk). Wine's services start with the session's
# first program, away from any test's output: started by a test, they
# would hold its output open, and whoever reads it to the end (CTest's
# discovery of the test cases) would wait for the session's end.
start_wine_session() {
  mkdir -p build/coverage-windows/wineprefix
  "${wine_env[@]}" wineserver -p120 < /dev/null > /dev/null 2>&1
  "${wine_env[@]}" wine cmd /c exit < /dev/null > /dev/null 2>&1 || true
}

run_windows() {
  local build=build/coverage-windows
  wait "$wine_session" || true
  # gcov writes its counts at each program's normal exit, to the build
  # folder's paths as compiled in, which Wine's drive Z: maps to this
  # machine's.
  timed "windows test programs" run_test_programs coverage-windows
  # As for the test programs, a failed run gets one more.
  timed "windows end-to-end scenarios" twice e2e --backend windows \
    --program "$build/UpdateProgramManually.exe" --fake-bossac "$build/tests/e2e/fake_bossac.exe" \
    --wineprefix "$build/wineprefix"
}

# gcovr over the product code only, with the given gcov. Twice: with the
# markers, and without them to count what they leave out. Branches gcov marks
# as thrown are dropped after the counts of every object are merged, not by
# gcovr per object: the Windows platform file is built twice (the program's,
# the tests' scripted one), and a line one of them never ran has no such mark
# there, so a dropped-per-object call would come back as a branch never taken.
# The reports are written from the counts as the gate reads them.
report() {
  local platform=$1 gcov=$2 build=build/coverage-$1
  local common=(--root . --gcov-executable "$gcov" --filter '(app|detection|firmware|platform)/'
                --exclude-directories "$build/(googletest|.*wineprefix)"
                --exclude-unreachable-branches "$build")
  rm -rf "${reports:?}/$platform" "$reports/$platform.xml"
  mkdir -p "$reports/$platform"
  gcovr "${common[@]}" --json "$work/marked.json"
  gcovr "${common[@]}" --exclude-pattern-prefix UPM_NO_MARKERS --json "$work/unmarked.json"
  python3 - "$platform" "$work/marked.json" "$work/unmarked.json" "$work/counted.json" <<'EOF' \
    || failed+=("$platform")
import glob, json, sys

platform, marked, unmarked, counted = sys.argv[1:]
own = "platform/platform_%s.cpp" % platform
other = "platform/platform_%s.cpp" % ("windows" if platform == "linux" else "linux")
expected = [f for d in ("app", "detection", "firmware", "platform")
            for f in glob.glob(d + "/*.cpp") if f != other]


# Each file's counted lines, without the branches of a call that throws:
# the product throws nothing.
def counted_lines(report):
    for entry in report["files"]:
        entry["lines"] = [l for l in entry["lines"] if not l["gcovr/noncode"]]
        for line in entry["lines"]:
            line["branches"] = [b for b in line["branches"] if not b["throw"]]
    return {entry["file"]: entry["lines"] for entry in report["files"]}


with open(marked) as f:
    report = json.load(f)
files = counted_lines(report)
with open(counted, "w") as f:
    json.dump(report, f)
with open(unmarked) as f:
    unmarked_files = counted_lines(json.load(f))
failed, lines_left_out, branches_left_out = [], 0, 0
print("\n%s: lines run of counted, branches taken of counted, lines and branches left out by"
      " markers" % platform)
for name in sorted(set(files) | set(expected)):
    lines = files.get(name)
    if lines is None:
        print("  %-32s not in the report: no test program compiles it" % name)
        failed.append("not run: " + name)
        continue
    unrun = [l["line_number"] for l in lines if l["count"] == 0]
    branches = [b for l in lines for b in l["branches"]]
    untaken = sorted({l["line_number"] for l in lines for b in l["branches"] if b["count"] == 0})
    unmarked_lines = unmarked_files.get(name, [])
    lines_out = len(unmarked_lines) - len(lines)
    branches_out = sum(len(l["branches"]) for l in unmarked_lines) - len(branches)
    lines_left_out += lines_out
    branches_left_out += branches_out
    print("  %-32s %4d of %-4d %4d of %-4d %3d %3d" % (
        name, len(lines) - len(unrun), len(lines),
        len(branches) - sum(1 for b in branches if b["count"] == 0), len(branches),
        lines_out, branches_out))
    if unrun:
        failed.append("not run: %s, lines %s" % (name, ", ".join(map(str, unrun))))
    # The platform file's branches are the system's unusual answers, each of
    # which its tests script; the shared code's are reported only.
    if name == own and untaken:
        failed.append("a branch not taken: %s, lines %s" % (name, ", ".join(map(str, untaken))))
print("%s: %d lines and %d branches left out by GCOVR_EXCL markers"
      % (platform, lines_left_out, branches_left_out))
for failure in failed:
    print("%s: %s" % (platform, failure))
sys.exit(1 if failed else 0)
EOF
  gcovr --root . --add-tracefile "$work/counted.json" --xml "$reports/$platform.xml" \
        --html-details "$reports/$platform/index.html" \
        --html-title "UpdateProgramManually on $platform: the product code the tests run"
}

# A phase's seconds in the log, for what the step costs: timed LABEL COMMAND...
timed() {
  local label=$1 start=$SECONDS
  shift
  "$@"
  echo "coverage: $label: $((SECONDS - start)) s"
}

for platform in "${platforms[@]}"; do
  case "$platform" in
    linux | windows) ;;
    *) echo "scripts/coverage.sh: no platform $platform (linux, windows)" >&2; exit 2 ;;
  esac
done
if $build; then
  for platform in "${platforms[@]}"; do
    timed "$platform build" "build_$platform"
  done
fi
failed=()
if $run; then
  if [[ " ${platforms[*]} " == *" windows "* ]]; then
    start_wine_session &
    wine_session=$!
  fi
  for platform in "${platforms[@]}"; do
    # Counts of earlier runs would hide a line no test runs any more.
    find "build/coverage-$platform" -name '*.gcda' -delete
    timed "$platform tests" "run_$platform"
    gcov=gcov
    [ "$platform" = linux ] || gcov=x86_64-w64-mingw32-gcov
    timed "$platform report" report "$platform" "$gcov"
  done
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "coverage: product lines not run on ${failed[*]} (above)" >&2
  exit 1
fi
