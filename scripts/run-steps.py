#!/usr/bin/env python3
"""Runs the suite's steps: the builds, their ctest runs and the stages in
scripts/stages/, two at a time where what they need allows, and ends with a
table of where the time went.

  scripts/run-steps.py [--started EPOCH] [STEP...]

STEP: only these steps, with the steps they need (default: all). A stage
says what it needs in a line of its header:

  # needs: native linux-release    the steps it reads ("nothing" for none)
  # uses: vm                       held by one step at a time
  # load: light                    mostly waits (timeouts, a VM's start)

A stage without a "needs" line runs alone, after every step before it and
before every step after it. Of the steps ready, the one with the longest
chain of steps still to come after it starts first (by TYPICAL_S), so that
the run's longest chains never wait behind short work. A light step, one
at a time, runs beside the others without taking a slot: its waits leave
the cores to them. Each step's output goes whole to build/logs/STEP.log.
The first failure ends the run: that step is named first and its log
shown, the steps beside it are stopped, and so is every process they
started. Ctrl-C ends the run the same way. UPM_TEST_SLOTS sets how many
steps run at a time (default 2).
"""
import ctypes
import glob
import os
import re
import signal
import subprocess
import sys
import time

# The builds and their test runs, before the stages: name, what it needs,
# its commands. A release build is its own step, made once for every stage
# that reads it; such stages skip their own build when the step's name is in
# UPM_PREBUILT (scripts/stages/release-build.bash).
BUILDS = [
    # Stage 25, at the head of one of the run's longest chains, waits for
    # all four release builds.
    ("linux-release", [], ["cmake --workflow --preset linux-release"]),
    ("windows-release", [], ["cmake --workflow --preset windows-release"]),
    ("linux-arm64-release", [], ["cmake --workflow --preset linux-arm64-release"]),
    ("linux-armhf-release", [], ["cmake --workflow --preset linux-armhf-release"]),
    ("native", [], ["cmake --preset native -DUPM_WARNINGS_AS_ERRORS=ON",
                    "cmake --build --preset native",
                    "cmake --build --preset native --target bossac"]),
    ("windows", [], ["cmake --preset windows -DUPM_WARNINGS_AS_ERRORS=ON",
                     "cmake --build --preset windows",
                     "cmake --build --preset windows --target bossac"]),
    ("ctest-native", ["native"], ["ctest --preset native"]),
    # The Windows real-tool rows run the native build's simulated_board.
    # A Wine test program now and then dies at its start, in a fraction of a
    # second and with no output (seen once in a few runs; it passes when run
    # again): each failed test gets one more run, so a fault must fail twice.
    ("ctest-windows", ["windows", "native"], ["ctest --preset windows --repeat until-pass:2"]),
]
# Seconds each step took in a fresh clone's run on the two-core machine
# (build/logs/table.txt), beside the others: only for the order in which
# ready steps start. A step not listed counts as SHORT_S.
TYPICAL_S = {
    "linux-release": 20, "windows-release": 22, "linux-arm64-release": 17,
    "linux-armhf-release": 17, "native": 65, "windows": 60, "ctest-native": 30,
    "ctest-windows": 100, "23-udev-rules": 50, "25-reproducible-releases": 130,
    "26-signed-release": 100, "27-release-kit": 40, "30-sanitizers": 145, "40-fuzz": 41,
    "44-vm-harness": 30, "45-real-kernel": 170, "50-valgrind": 63, "60-static-checks": 17,
}
SHORT_S = 5
# The builds' steps that mostly wait: on a simulated board's timeouts. (Wine is no
# light step: its server keeps most of a core busy.)
LIGHT = {"ctest-native"}
STAGES = "scripts/stages"
# A folder first in the steps' PATH whose python3 is this interpreter itself:
# a version manager's shim (pyenv's) in between took a third of a second
# per call.
PYTHON_BIN = "build/python-bin"
LOGS = "build/logs"
STOP_GRACE_S = 15  # for a stopped step to end its own processes (a VM, a Wine server)
LINGER_S = 5  # for processes of finished steps to end by themselves (Wine's server waits 3 s)


class Interrupted(Exception):
    pass


def on_signal(number, _frame):
    raise Interrupted(number)


def stage_steps():
    steps = []
    for path in sorted(glob.glob(STAGES + "/*.sh")):
        with open(path, encoding="utf-8") as f:
            header = f.read(4000)
        needs = re.search(r"^# needs:(.*)$", header, re.M)
        uses = re.search(r"^# uses:(.*)$", header, re.M)
        load = re.search(r"^# load:(.*)$", header, re.M)
        steps.append({"name": os.path.basename(path)[:-3], "command": ["bash", path],
                      "needs": [n for n in needs.group(1).split() if n != "nothing"] if needs else [],
                      "uses": uses.group(1).split() if uses else [], "alone": needs is None,
                      "light": bool(load) and load.group(1).split() == ["light"]})
    return steps


def all_steps():
    steps = [{"name": name, "needs": list(needs), "uses": [], "alone": False, "light": name in LIGHT,
              "command": ["bash", "-c", "set -euxo pipefail\n" + "\n".join(commands)]}
             for name, needs, commands in BUILDS] + stage_steps()
    # A step that runs alone comes after everything before it, and everything after it after it.
    for i, step in enumerate(steps):
        if step["alone"]:
            step["needs"] = [s["name"] for s in steps[:i]]
            for later in steps[i + 1:]:
                later["needs"].append(step["name"])
    for step in steps:
        step.update(state="waiting", pid=None, start=None, seconds=None, cpu=None)
    return steps


def selected(steps, wanted):
    """The steps named and, transitively, what they need; None for a name no step has."""
    by_name = {s["name"]: s for s in steps}
    keep, todo = set(), list(wanted)
    while todo:
        name = todo.pop()
        if name not in by_name:
            return None, name
        if name not in keep:
            keep.add(name)
            todo += by_name[name]["needs"]
    return [s for s in steps if s["name"] in keep], None


def clock(started):
    seconds = int(time.time() - started)
    return "%d:%02d" % (seconds // 60, seconds % 60)


def fits(step, running, slots):
    """Whether the step has room: light steps beyond the first take slots."""
    heavy = sum(1 for r in running if not r["light"])
    light = sum(1 for r in running if r["light"])
    if step["light"]:
        light += 1
    else:
        heavy += 1
    return heavy + max(0, light - 1) <= slots


def ready(step, steps, running):
    done = {s["name"] for s in steps if s["state"] == "ok"}
    if any(n not in done for n in step["needs"]):
        return False
    if running and (step["alone"] or any(r["alone"] for r in running)):
        return False
    held = {u for r in running for u in r["uses"]}
    return not held.intersection(step["uses"])


def start(step, steps, started):
    log = open(os.path.join(LOGS, step["name"] + ".log"), "wb")
    # UPM_PREBUILT: the release builds already made in this run, which the
    # stages only read. UPM_VERIFY_BUILDS: where stage 25 leaves its
    # fresh-clone release builds of the last commit for verify-release.sh in
    # stage 26 to take.
    env = dict(os.environ, UPM_PREBUILT=" ".join(s["name"] for s in steps if s["state"] == "ok"),
               UPM_VERIFY_BUILDS=os.path.abspath("build/verify-builds"),
               PATH=os.pathsep.join([os.path.abspath(PYTHON_BIN), os.environ.get("PATH", "")]))
    # A session of its own: the step and all it starts can be stopped as one group.
    process = subprocess.Popen(step["command"], stdin=subprocess.DEVNULL, stdout=log,
                               stderr=subprocess.STDOUT, env=env, start_new_session=True)
    log.close()
    step.update(state="running", pid=process.pid, start=time.time(), process=process)
    print("[%s] started %s" % (clock(started), step["name"]), flush=True)


def reap(steps, block=False):
    """Collects ended children: steps, and processes orphaned under this one.
    Returns the steps that ended."""
    ended = []
    while True:
        try:
            pid, status, usage = os.wait4(-1, 0 if block else os.WNOHANG)
        except ChildProcessError:
            return ended
        if pid == 0:
            return ended
        for step in steps:
            if step["pid"] == pid and step["state"] == "running":
                step["process"].returncode = os.waitstatus_to_exitcode(status)
                step.update(status=step["process"].returncode, seconds=time.time() - step["start"],
                            cpu=usage.ru_utime + usage.ru_stime)
                step["state"] = "ok" if step["status"] == 0 else "failed"
                ended.append(step)
        block = False


def descendants():
    """Every process below this one: as the subreaper, orphans end up here."""
    children = {}
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(stat.split("/")[2]))
    found, todo = [], [os.getpid()]
    while todo:
        below = children.get(todo.pop(), [])
        found += below
        todo += below
    return found


def process_name(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return "?"


def signal_all(pids, number):
    for pid in pids:
        try:
            os.kill(pid, number)
        except ProcessLookupError:
            pass


def end_leftovers(steps, grace_s):
    """Waits grace_s for the processes left below this one, then ends them."""
    deadline = time.time() + grace_s
    while descendants() and time.time() < deadline:
        reap(steps)
        time.sleep(0.2)
    left = descendants()
    if left:
        print("ending processes left behind: " +
              ", ".join("%s (%d)" % (process_name(p), p) for p in left), flush=True)
    for number, wait_s in ((signal.SIGTERM, 3), (signal.SIGKILL, 5)):
        signal_all(descendants(), number)
        deadline = time.time() + wait_s
        while descendants() and time.time() < deadline:
            reap(steps)
            time.sleep(0.1)
    reap(steps)


def stop(steps, started):
    """Stops the running steps, each as a whole process group, then whatever they left."""
    running = [s for s in steps if s["state"] == "running"]
    for step in running:
        print("[%s] stopping %s" % (clock(started), step["name"]), flush=True)
        try:
            os.killpg(step["pid"], signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.time() + STOP_GRACE_S
    while any(s["state"] == "running" for s in running) and time.time() < deadline:
        reap(steps)
        time.sleep(0.1)
    for step in running:
        if step["state"] == "running":
            try:
                os.killpg(step["pid"], signal.SIGKILL)
            except ProcessLookupError:
                pass
    while any(s["state"] == "running" for s in running):
        reap(steps, block=True)
    for step in running:
        if step["state"] != "ok":
            step["state"] = "stopped"
    end_leftovers(steps, 0)


def busy_seconds():
    """The machine's CPU time so far, every process's: the steps' column
    misses what outlives a step (a Wine server)."""
    with open("/proc/stat") as f:
        user, nice, system, _idle, _iowait, irq, softirq, steal = map(int, f.readline().split()[1:9])
    return (user + nice + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK")


def table(steps, started, first_row, verdict, busy_at_start):
    lines = ["%-28s %6s %6s %6s  %s" % ("step", "start", "s", "cpu s", "status")]
    if first_row:
        lines.append("%-28s %6s %6d %6s  %s" % (first_row[0], "0:00", first_row[1], "-", "ok"))
    ran = sorted((s for s in steps if s["start"]), key=lambda s: s["start"])
    for s in ran:
        status = {"ok": "ok", "stopped": "stopped", "failed": "FAIL (%s)" % s.get("status")}[s["state"]]
        at = int(s["start"] - started)
        lines.append("%-28s %3d:%02d %6d %6d  %s" % (s["name"], at // 60, at % 60, s["seconds"],
                                                    s["cpu"], status))
    lines += ["%-28s %6s %6s %6s  not run" % (s["name"], "", "", "") for s in steps if not s["start"]]
    cpu = sum(s["cpu"] for s in ran)
    total = time.time() - started
    lines.append("%-28s %6s %6d %6d  %s" % ("total", "", total, cpu, verdict))
    since, busy = busy_at_start
    lines.append("the machine: %d CPU-seconds of %d on %d cores since the first step" % (
        busy_seconds() - busy, (time.time() - since) * os.cpu_count(), os.cpu_count()))
    text = "\n".join(lines)
    with open(os.path.join(LOGS, "table.txt"), "w") as f:
        f.write(text + "\n")
    print("\n" + text, flush=True)


def show_failure(step, started):
    log = os.path.join(LOGS, step["name"] + ".log")
    print("[%s] FAIL %s: exit status %d after %d s; its log, %s:" % (
        clock(started), step["name"], step["status"], step["seconds"], log), flush=True)
    with open(log, "rb") as f:
        sys.stdout.buffer.write(f.read())
    print("FAIL %s (log: %s)" % (step["name"], log), flush=True)


def chain_seconds(steps):
    """Each step's name with the typical seconds of the longest chain of
    steps from its start to the run's end."""
    after = {s["name"]: [] for s in steps}
    for s in steps:
        for n in s["needs"]:
            after.setdefault(n, []).append(s["name"])
    chain = {}

    def longest(name):
        if name not in chain:
            chain[name] = TYPICAL_S.get(name, SHORT_S) + max([longest(a) for a in after[name]] or [0])
        return chain[name]
    for s in steps:
        longest(s["name"])
    return chain


def run(steps, slots, started):
    """Runs the steps; returns the failed one, or None."""
    chain = chain_seconds(steps)
    by_priority = sorted(steps, key=lambda s: -chain[s["name"]])
    while True:
        running = [s for s in steps if s["state"] == "running"]
        for step in by_priority:
            if step["state"] == "waiting" and fits(step, running, slots) and ready(step, steps, running):
                start(step, steps, started)
                running.append(step)
        if not running:
            return None
        for step in reap(steps):
            if step["state"] == "failed":
                show_failure(step, started)
                return step
            print("[%s] ok %s (%d s)" % (clock(started), step["name"], step["seconds"]), flush=True)
        time.sleep(0.2)


def main():
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    args = sys.argv[1:]
    runner_started = time.time()
    busy_at_start = (runner_started, busy_seconds())
    started, first_row = runner_started, None
    if args[:1] == ["--started"]:
        started = float(args[1])
        first_row = ("test packages", runner_started - started)
        args = args[2:]
    steps = all_steps()
    names = {s["name"] for s in steps}
    for step in steps:
        unknown = [n for n in step["needs"] if n not in names]
        if unknown:
            sys.exit("run-steps: %s needs %s, which no step is" % (step["name"], " ".join(unknown)))
    if args:
        steps, unknown = selected(steps, args)
        if unknown:
            sys.exit("run-steps: no step %s; steps: %s" % (unknown, " ".join(sorted(names))))
    slots = int(os.environ.get("UPM_TEST_SLOTS", "2"))
    os.makedirs(LOGS, exist_ok=True)
    os.makedirs(PYTHON_BIN, exist_ok=True)
    for name in ("python3", "python"):
        link = os.path.join(PYTHON_BIN, name)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(sys.executable, link)
    for old in glob.glob(LOGS + "/*.log"):
        os.remove(old)
    # Orphans of the steps (a Wine server, a program a test lost) come here, to be ended.
    ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)
    try:
        failed = run(steps, slots, started)
    except Interrupted as interrupted:
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)  # a second Ctrl-C must not cut the clean-up short
        print("\ninterrupted: stopping every step", flush=True)
        stop(steps, started)
        table(steps, started, first_row, "interrupted", busy_at_start)
        return 128 + interrupted.args[0]
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_IGN)
    if failed:
        stop(steps, started)
        table(steps, started, first_row, "FAILED: " + failed["name"], busy_at_start)
        return 1
    end_leftovers(steps, LINGER_S)
    table(steps, started, first_row, "passed", busy_at_start)
    return 0


if __name__ == "__main__":
    sys.exit(main())
