#!/usr/bin/env bash
# What the tests run of the product code, per platform, counted by gcov in
# the suite's test builds: coverage-linux (under the sanitizers, whose tests
# stage 30 runs) and coverage-windows (whose tests ctest-windows runs under
# Wine). Writes with gcovr
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
#   scripts/coverage.sh                   build, run the tests and report, both platforms
#   scripts/coverage.sh linux             one platform
#   scripts/coverage.sh --report          the counts as the tests left them (the suite's coverage)
set -euo pipefail
cd "$(dirname "$0")/.."
run=true
case "${1:-}" in
  --report) run=false; shift ;;
esac
platforms=("$@")
[ ${#platforms[@]} -gt 0 ] || platforms=(linux windows)
reports=build/coverage
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Each platform's tests as the suite runs them, each build made first.
run_linux() {
  bash scripts/stages/30-sanitizers.sh
}

run_windows() {
  # Its real-tool rows: the Linux test build's simulated_board, the
  # release's bossac.exe.
  [ -x build/coverage-linux/demo/simulated_board ] || {
    cmake --preset coverage-linux > /dev/null
    cmake --build --preset coverage-linux --target simulated_board
  }
  [ -f build/windows-release/bossac-1.9.1/bossac.exe ] || cmake --workflow --preset windows-release > /dev/null
  cmake --preset coverage-windows > /dev/null
  cmake --build --preset coverage-windows
  find build/coverage-windows -name '*.gcda' -delete
  ctest --preset coverage-windows --repeat until-pass:2
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

# A phase's seconds in the log: timed LABEL COMMAND...
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
failed=()
for platform in "${platforms[@]}"; do
  if $run; then
    timed "$platform tests" "run_$platform"
  fi
  gcov=gcov
  [ "$platform" = linux ] || gcov=x86_64-w64-mingw32-gcov
  timed "$platform report" report "$platform" "$gcov"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "coverage: product lines not run, or platform branches not taken, on ${failed[*]} (above)" >&2
  exit 1
fi
