#!/usr/bin/env python3
"""A whole upload on the simulated board, timed: the program flashing and
verifying an image that fills the application area, beside the flashing
tool run directly on the same simulated board. Prints one markdown table.

  flash_bench.py PROGRAM BOSSAC SIMULATED_BOARD [REPETITIONS]
  flash_bench.py --windows PROGRAM_EXE BOSSAC_EXE SIMULATED_BOARD [REPETITIONS]

Inside the program's run, the tool is started through a small script that
notes when it starts and ends, so the program's own share (its run less the
tool's, the one second it waits for the bootloader and the board's own
start and end) comes from one and the same run. Nothing is asserted.

--windows: the Windows program under Wine, with bossac.exe 1.9.1 on
simulated_board's serial link, where the chip speaks its UART dialect. Wine
does not wait for a Unix script, so there a small Windows program does the
script's work (tool_timer.cpp, built here with MinGW)."""
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

APP_AREA = (256 - 8) * 1024  # flash less the bootloader's 8 KiB
IMAGE = "Quarnel_App_12_7.bin"
BOOTLOADER_WAIT_S = 1.0
TIMING_TOOL = """#!/bin/sh
date +%%s.%%N >> "%(log)s"
%(tool)s "$@"
status=$?
date +%%s.%%N >> "%(log)s"
exit $status
"""
FLASH_OPTIONS = ["-i", "-e", "-w", "-v", IMAGE, "--offset=0x2000", "-R"]


def timed(command, cwd, env, stdin=b"", ending=b", reset requested\n"):
    """Wall seconds of one run, which must end with status 0 and, by
    default, with the board reset."""
    start = time.perf_counter()
    run = subprocess.run(command, cwd=cwd, input=stdin, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, check=False, env=env)
    elapsed = time.perf_counter() - start
    if run.returncode != 0 or not run.stderr.endswith(ending):
        sys.exit("flash_bench: %s failed: %s" % (command[-1], run.stderr.decode()[-500:]))
    return elapsed


def lay_out(folder, program):
    """The program and the image; returns the tool's folder."""
    shutil.copy2(program, os.path.join(folder, os.path.basename(program)))
    with open(os.path.join(folder, IMAGE), "wb") as f:
        f.write(random.Random(1).randbytes(APP_AREA))
    tools = os.path.join(folder, "Bossac", "1.9.1")
    os.makedirs(tools)
    return tools


def tool_seconds(log):
    with open(log) as f:
        start, end = (float(line) for line in f.read().split())
    os.unlink(log)
    return end - start


def measure(board, baseline, program, tool, env, folder, repetitions):
    """Medians of the runs; board is simulated_board with its options,
    baseline what it runs to show its own cost, tool the direct command."""
    log = os.path.join(folder, "tool-times")
    runs = {"baseline": [], "program": [], "tool inside": [], "own": [], "direct": []}
    for _ in range(repetitions):  # alternated, so that load hits all alike
        # Off a terminal each pause takes one byte: the double tap, then the close.
        start = timed(board + baseline, folder, env, ending=b"no reset requested\n")
        total = timed(board + program, folder, env, b"\n\n")
        inside = tool_seconds(log)
        runs["baseline"].append(start)
        runs["program"].append(total)
        runs["tool inside"].append(inside)
        runs["own"].append(total - inside - BOOTLOADER_WAIT_S - start)
        runs["direct"].append(timed(board + tool, folder, env))
    return {name: statistics.median(values) for name, values in runs.items()}


def print_table(title, rows, median):
    print("| %s; %d KiB image, flashed and verified; medians | seconds |"
          % (title, APP_AREA // 1024))
    print("|---|---:|")
    for label, key in rows:
        print("| %s | %.3f |" % (label, median[key]))
    print("| **the program's own share**: its run less the tool's, the 1 s wait and the first"
          " row | **%.3f** |" % median["own"])


def linux_main(program, tool, board, repetitions):
    with tempfile.TemporaryDirectory(prefix="upm-flash-bench-") as folder:
        wrapper = os.path.join(lay_out(folder, program), "bossac")
        with open(wrapper, "w") as f:
            f.write(TIMING_TOOL % {"log": os.path.join(folder, "tool-times"),
                                   "tool": shlex.quote(tool)})
        os.chmod(wrapper, 0o755)
        median = measure([board, "--"], ["true"], [os.path.join(folder, "UpdateProgramManually")],
                         [tool, "--port=ttyACM1"] + FLASH_OPTIONS, None, folder, repetitions)
    print_table("Linux, bossac over USB (umockdev)", [
        ("simulated_board running `true`: the testbed's own cost", "baseline"),
        ("the program under simulated_board, start to end", "program"),
        ("bossac inside that run", "tool inside"),
        ("bossac run directly under simulated_board", "direct")], median)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def windows_main(program, tool, board, repetitions):
    """A prefix of its own whose registry lists the board (COM8) and its
    bootloader (COM9); COM9 is the serial link."""
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
    import e2e  # the end-to-end runner knows how Wine's device list is written
    with tempfile.TemporaryDirectory(prefix="upm-flash-bench-") as folder:
        wine = e2e.WindowsBackend(program, None, os.path.join(folder, "wineprefix"))
        try:
            wine.regedit([e2e.board("Quarnel", 8), e2e.bootloader(9)])
            # One Wine server and its services for every run, with no
            # output: started by a timed run, they would keep that run's
            # stderr open, and the server writes its own notes there on its
            # way out.
            quiet = {"env": wine.env, "stdin": subprocess.DEVNULL,
                     "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
            subprocess.run(["wineserver", "-k"], check=False, **quiet)
            subprocess.run(["wineserver", "-p"], check=True, **quiet)
            subprocess.run(["wine", "cmd", "/c", "exit"], check=True, **quiet)
            subprocess.run(["x86_64-w64-mingw32-g++-posix", "-O2", "-static", "-o",
                            os.path.join(lay_out(folder, program), "bossac.exe"),
                            os.path.join(os.path.dirname(__file__), "tool_timer.cpp")],
                           check=True)
            env = dict(wine.env, UPM_TIMED_TOOL=windows_path(tool),
                       UPM_TIMED_LOG=windows_path(os.path.join(folder, "tool-times")))
            link = os.path.join(wine.prefix, "dosdevices", "com9")
            median = measure([board, "--serial-link", link, "--", "wine"], ["cmd", "/c", "exit"],
                             [os.path.join(folder, os.path.basename(program))],
                             [tool, "--port=COM9"] + FLASH_OPTIONS, env, folder, repetitions)
        finally:
            subprocess.run(["wineserver", "-k"], env=wine.env, check=False)
    print_table("Windows program under Wine, bossac.exe over the UART dialect", [
        ("simulated_board --serial-link running `wine cmd /c exit`: the link's and Wine's start",
         "baseline"),
        ("the Windows program under simulated_board, start to end", "program"),
        ("bossac.exe inside that run", "tool inside"),
        ("bossac.exe run directly under Wine on the same link", "direct")], median)


def main():
    windows = sys.argv[1:2] == ["--windows"]
    arguments = sys.argv[2:] if windows else sys.argv[1:]
    count = 3
    paths = [os.path.abspath(p) for p in arguments[:count]]
    repetitions = int(arguments[count]) if len(arguments) > count else 5
    (windows_main if windows else linux_main)(*paths, repetitions)


if __name__ == "__main__":
    main()
