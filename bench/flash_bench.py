#!/usr/bin/env python3
"""A whole upload on the simulated board, timed: the program flashing and
verifying an image that fills the application area, beside bossac run
directly on the same simulated board. Prints one markdown table.

  flash_bench.py PROGRAM SIMULATED_BOARD [REPETITIONS]
  flash_bench.py --windows PROGRAM_EXE BOSSAC_EXE SIMULATED_BOARD [REPETITIONS]

Inside the program's run, bossac is started through a small script that
notes when it starts and ends, so the program's own share (its run less the
tool's, the one second it waits for the bootloader and the testbed's own
start and end) comes from one and the same run. Nothing is asserted.

--windows: the same upload through the Windows program under Wine, with
bossac.exe 1.9.1 on simulated_board's serial link (the chip's UART dialect),
beside bossac.exe run directly under Wine on the same link. A Windows
program cannot start a shell script, so the program's share there is its
run less the median direct run and the 1 s wait."""
import os
import random
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
"%(tool)s" "$@"
status=$?
date +%%s.%%N >> "%(log)s"
exit $status
"""


def timed(command, cwd, stdin=b"", ending=b", reset requested\n", env=None):
    """Wall seconds of one run, which must end with status 0 and, by
    default, with the board reset."""
    start = time.perf_counter()
    run = subprocess.run(command, cwd=cwd, input=stdin, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, check=False, env=env)
    elapsed = time.perf_counter() - start
    if run.returncode != 0 or not run.stderr.endswith(ending):
        sys.exit("flash_bench: %s failed: %s" % (command[-1], run.stderr.decode()[-500:]))
    return elapsed


def lay_out_image(folder, program):
    shutil.copy2(program, os.path.join(folder, os.path.basename(program)))
    with open(os.path.join(folder, IMAGE), "wb") as f:
        f.write(random.Random(1).randbytes(APP_AREA))
    os.makedirs(os.path.join(folder, "Bossac", "1.9.1"))


def lay_out(folder, program, tool, log):
    lay_out_image(folder, program)
    wrapper = os.path.join(folder, "Bossac", "1.9.1", "bossac")
    with open(wrapper, "w") as f:
        f.write(TIMING_TOOL % {"log": log, "tool": tool})
    os.chmod(wrapper, 0o755)


def tool_seconds(log):
    with open(log) as f:
        start, end = (float(line) for line in f.read().split())
    os.unlink(log)
    return end - start


def windows_main(arguments):
    """The Windows program and bossac.exe under Wine, in a prefix of their
    own whose registry lists the board (COM8) and its bootloader (COM9)."""
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
    import e2e  # the end-to-end runner knows how Wine's device list is written
    program, tool, board = (os.path.abspath(p) for p in arguments[:3])
    repetitions = int(arguments[3]) if len(arguments) > 3 else 5
    runs = {"program": [], "direct": []}
    with tempfile.TemporaryDirectory(prefix="upm-flash-bench-") as folder:
        prefix = os.path.join(folder, "wineprefix")
        wine = e2e.WindowsBackend(program, None, prefix)
        wine.regedit([e2e.board("Quarnel", 8), e2e.bootloader(9)])
        lay_out_image(folder, program)
        shutil.copy2(tool, os.path.join(folder, "Bossac", "1.9.1", "bossac.exe"))
        link = [board, "--serial-link", os.path.join(prefix, "dosdevices", "com9"), "--", "wine"]
        through_program = link + [os.path.join(folder, os.path.basename(program))]
        direct = link + [os.path.join(folder, "Bossac", "1.9.1", "bossac.exe"), "--port=COM9",
                         "-i", "-e", "-w", "-v", IMAGE, "--offset=0x2000", "-R"]
        try:
            for _ in range(repetitions):
                runs["program"].append(timed(through_program, folder, b"\n\n", env=wine.env))
                runs["direct"].append(timed(direct, folder, env=wine.env))
        finally:
            subprocess.run(["wineserver", "-k"], env=wine.env, check=False)
    median = {name: statistics.median(values) for name, values in runs.items()}
    print("| %d KiB image under Wine, flashed and verified; medians of %d | seconds |"
          % (APP_AREA // 1024, repetitions))
    print("|---|---:|")
    print("| the Windows program under simulated_board --serial-link, start to end | %.3f |"
          % median["program"])
    print("| bossac.exe run directly under Wine on the same link | %.3f |" % median["direct"])
    print("| **the program's own share**: its run less the direct run and the 1 s wait | **%.3f** |"
          % (median["program"] - median["direct"] - BOOTLOADER_WAIT_S))


def main():
    if sys.argv[1:2] == ["--windows"]:
        windows_main(sys.argv[2:])
        return
    program, board = (os.path.abspath(p) for p in sys.argv[1:3])
    repetitions = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    tool = shutil.which("bossac") or sys.exit("flash_bench: bossac is not installed")
    runs = {"testbed": [], "program": [], "tool inside": [], "own": [], "direct": []}
    with tempfile.TemporaryDirectory(prefix="upm-flash-bench-") as folder:
        log = os.path.join(folder, "tool-times")
        lay_out(folder, program, tool, log)
        # Off a terminal each pause takes one byte: the double tap, then the close.
        through_program = [board, "--", os.path.join(folder, "UpdateProgramManually")]
        direct = [board, "--", tool, "--port=ttyACM1", "-i", "-e", "-w", "-v",
                  os.path.join(folder, IMAGE), "--offset=0x2000", "-R"]
        for _ in range(repetitions):  # alternated, so that load hits all alike
            testbed = timed([board, "--", "true"], folder, ending=b"no reset requested\n")
            total = timed(through_program, folder, b"\n\n")
            inside = tool_seconds(log)
            runs["testbed"].append(testbed)
            runs["program"].append(total)
            runs["tool inside"].append(inside)
            runs["own"].append(total - inside - BOOTLOADER_WAIT_S - testbed)
            runs["direct"].append(timed(direct, folder))
    median = {name: statistics.median(values) for name, values in runs.items()}
    print("| %d KiB image, flashed and verified; medians of %d | seconds |"
          % (APP_AREA // 1024, repetitions))
    print("|---|---:|")
    print("| simulated_board running `true`: the testbed's own cost | %.3f |" % median["testbed"])
    print("| the program under simulated_board, start to end | %.3f |" % median["program"])
    print("| bossac inside that run | %.3f |" % median["tool inside"])
    print("| bossac run directly under simulated_board | %.3f |" % median["direct"])
    print("| **the program's own share**: its run less bossac's, the 1 s wait and the testbed"
          " | **%.3f** |" % median["own"])


if __name__ == "__main__":
    main()
