#!/usr/bin/env python3
"""End-to-end runs of the real program: one table of scenarios, three backends.

linux:   the native program under umockdev-run, with USB CDC-ACM ports
         described in umockdev's record format.
windows: UpdateProgramManually.exe under Wine, with the ports written into
         the Wine prefix's registry, where SetupAPI finds them.
kernel:  the native program on the real kernel (inside scripts/run-in-vm.sh,
         as root), beside simulated_board --usb-gadget's boards; the
         real-tool rows only, each following a scenario of the table: the
         scenario's boards are USB gadgets, its bootloader is the first board
         double-tapped (SIGUSR1) at the attempt the bootloader appears. With
         --empty-root a release's program runs chrooted in a root that holds
         nothing but its kit and the system's /dev, /proc and /sys.

The real flashing tool on a simulated board (REAL_TOOL_ROWS): bossac 1.9.1,
built from Debian's source (cmake/bossac.cmake), on Linux inside
simulated_board's umockdev testbed; as bossac.exe under Wine, where the
bootloader's COM port is a link in the prefix's dosdevices to the
pseudo-terminal of simulated_board --serial-link. With --release ARCHIVE
these rows run the program and the tool of a release archive instead,
unpacked as an operator would into a folder whose name has a space and a
letter outside ASCII, with a second board's image beside the first.

Each run copies the program into a fresh folder with its images and, where
the scenario asks for it, a stand-in flashing tool (fake_bossac) at
Bossac/1.9.1/bossac[.exe], feeds standard input, answers every double-tap
prompt with a key and checks the exact standard output (the pause's own
prompt set aside), the exit status and the arguments the tool received.
A program that leaves its scenario's script (a menu where a board should be
recognised, a prompt the scenario does not expect) is stopped at once, with
what it said; once it has said the whole script, its input ends. The run
limit is left for true hangs.

Environment:
  UPM_E2E_PROGRAM  another build of the program to run instead of --program
  UPM_E2E_WRAPPER  command put before the program on Linux (inside
                   umockdev-run), and before simulated_board in the
                   real-tool rows of both backends, e.g.
                   "valgrind --error-exitcode=1 -q"
"""

import argparse
import fcntl
import os
import random
import re
import shlex
import signal
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field, replace

RUN_TIMEOUT_S = 180  # valgrind and a busy Wine are slow; a hang is still caught
# A program gone off its script fails at once, not at the run limit: it gets
# this long of silence to end by itself (and a write split in two to be whole).
OFF_SCRIPT_GRACE_S = 2

# --- What the program says ------------------------------------------------------

TAP = ("Please double click on reset button, a red light should turn on. "
       "Press Enter after that...\n")
RETRY = "No bootloader detected, maybe your double is too slow. Retry\n\n"
GIVE_UP = "No bootloader detected, maybe your double is too slow. Please relauch program\n"
CLOSE = "\n\nPress Enter to exit...\n"
MENU = ("No known board have been detected. Please select one\n"
        "[Q] Quarnel\n[B] Bravik\n[H] Harlun\n")
INVALID = "Invalid Letter. Cancel upload\n"
MISSING_TOOL = "Erreur during execution: 2\n"


def auto(board):
    return "Automaticly selected board : %s\n" % board


def using(version):
    return "Using version: v%s\n" % version


def choose(board, count, prompts=1):
    listed = "".join("[%d] v{ver%d}\n" % (i, i) for i in range(1, count + 1))
    return ("Multiple versions found for %s. Choose one:\n" % board + listed
            + "Enter your choice (1-%d): " % count * prompts)


def launch(port, image, port_text=None):
    """The printed command line. {dir}, {sep}, {tool} and {portN} are filled
    per backend; image is a file name or "{listedN}" (Nth image as the
    folder lists them)."""
    return ('"{tool}" --port=%s -i -e -w -v "{dir}{sep}%s" --offset=0x2000 -R\n'
            % (port_text or "{port%d}" % port, image))


def tool_args(port, image, port_args=None):
    return (["{tool}"] + (port_args or ["--port={port%d}" % port])
            + ["-i", "-e", "-w", "-v", "{dir}{sep}%s" % image, "--offset=0x2000", "-R"])


# --- Scenario table ---------------------------------------------------------------

DEVICE_IDS = {"Bravik": (0x3C7E, 0x5101), "Quarnel": (0x3C7E, 0x5102),
              "Dovrel": (0x3C7E, 0x5103), "Harlun": (0x3C7E, 0x5104),
              "Bootloader": (0x2341, 0x004D), "Unknown": (0x0403, 0x6001)}


@dataclass
class Device:
    vid: int
    pid: int
    port: int               # ttyACM<port> on Linux, COM<port> on Windows
    appears: int = 0        # 0: from the start; N: just before attempt N's detection
    friendly: str = None    # Windows only: friendly name instead of "USB Serial Device (COMn)"
    hardware_ids: list = None  # Windows only: hardware-ID list instead of the usual two


def board(name, port, **kw):
    return Device(*DEVICE_IDS[name], port, **kw)


def bootloader(port, **kw):
    return board("Bootloader", port, **kw)


FAKE, NO_TOOL = "fake", None


@dataclass
class Scenario:
    name: str
    devices: list
    images: dict            # file name -> version as shown
    stdout: str
    tool: str = FAKE
    stdin: str = ""         # None: input ends at once
    status: int = 0
    args: list = None       # what the tool received; None: it never ran
    folder: str = "Up"      # the program's folder name
    env: dict = field(default_factory=dict)
    only: str = None        # "linux" or "windows" when the case exists there only


Q12, Q13 = "Quarnel_App_12_7.bin", "quarnel_app_13_1.bin"
H30, H21 = "Harlun_App_30_1.bin", "Harlun_App_21_4.bin"
B10 = "Bravik_App_10_1.bin"

SCENARIOS = [
    Scenario("full_upload", [board("Quarnel", 3), bootloader(4)], {Q12: "1.2"},
             auto("Quarnel") + using("1.2") + TAP + launch(4, Q12) + CLOSE,
             args=tool_args(4, Q12)),
    Scenario("bootloader_at_second_attempt", [board("Quarnel", 3), bootloader(4, appears=2)],
             {Q12: "1.2"},
             auto("Quarnel") + using("1.2") + TAP + RETRY + TAP + launch(4, Q12) + CLOSE,
             args=tool_args(4, Q12)),
    Scenario("two_images_out_of_range_then_second", [board("Harlun", 2), bootloader(5)],
             {H30: "3.0", H21: "2.1"},
             auto("Harlun") + choose("Harlun", 2, prompts=3) + TAP + launch(5, "{listed2}")
             + CLOSE,
             stdin="0\n3\n2\n", args=tool_args(5, "{listed2}")),
    Scenario("letter_and_choice_on_one_line", [bootloader(1)], {Q12: "1.2", Q13: "1.3"},
             MENU + choose("Quarnel", 2) + TAP + launch(1, "{listed2}") + CLOSE,
             stdin="q2\n", args=tool_args(1, "{listed2}")),
    Scenario("no_bootloader_at_any_attempt", [board("Bravik", 0)], {B10: "1.0"},
             auto("Bravik") + using("1.0") + (TAP + RETRY) * 3 + GIVE_UP + CLOSE),
    Scenario("tool_missing", [board("Quarnel", 3), bootloader(4)], {Q12: "1.2"},
             auto("Quarnel") + using("1.2") + (TAP + launch(4, Q12) + MISSING_TOOL) * 3 + CLOSE,
             tool=NO_TOOL),
    Scenario("tool_fails", [board("Quarnel", 3), bootloader(4)], {Q12: "1.2"},
             auto("Quarnel") + using("1.2") + TAP + launch(4, Q12) + CLOSE,
             args=tool_args(4, Q12), env={"UPM_FAKE_BOSSAC_EXIT": "3"}),
    Scenario("unrecognised_letter", [], {Q12: "1.2"}, MENU + INVALID, stdin="x\n", status=1),
    Scenario("input_ends_at_menu", [], {Q12: "1.2"}, MENU + INVALID, stdin=None, status=1),
    Scenario("no_image_for_board", [board("Quarnel", 3), bootloader(4)], {H21: "2.1"},
             auto("Quarnel")
             + "No file was found for Quarnel. Please add a file with the board name inside.\n"
             + CLOSE),
    # Harlun is described first; Bravik's port still comes first by name,
    # and the unknown device before both is passed over.
    Scenario("two_boards_first_by_name",
             [board("Harlun", 5), board("Bravik", 3), board("Unknown", 1), bootloader(6)],
             {H21: "2.1", B10: "1.0"},
             auto("Bravik") + using("1.0") + TAP + launch(6, B10) + CLOSE,
             args=tool_args(6, B10)),
    Scenario("folder_with_spaces_and_percent", [board("Quarnel", 3), bootloader(4)],
             {Q12: "1.2"},
             auto("Quarnel") + using("1.2") + TAP + launch(4, Q12) + CLOSE,
             folder="Up %s %d 100% x", args=tool_args(4, Q12)),
    # "COM" is found inside "COMPOSITE": the port name is cut at 19 characters.
    Scenario("composite_friendly_name",
             [board("Quarnel", 3), bootloader(4, friendly="Serial COMPOSITE Device (COM4)")],
             {Q12: "1.2"},
             auto("Quarnel") + using("1.2") + TAP
             + launch(4, Q12, port_text="COMPOSITE Device (C") + CLOSE,
             args=tool_args(4, Q12, port_args=["--port=COMPOSITE", "Device", "(C"]),
             only="windows"),
    Scenario("lower_case_hardware_id",
             [board("Quarnel", 3),
              bootloader(4, hardware_ids=["USB\\vid_2341&pid_004d&rev_0100",
                                          "USB\\vid_2341&pid_004d"])],
             {Q12: "1.2"},
             auto("Quarnel") + using("1.2") + (TAP + RETRY) * 3 + GIVE_UP + CLOSE,
             only="windows"),
    # Letters that code page 1252 lacks: the program goes by the folder's short name.
    Scenario("folder_outside_code_page", [board("Quarnel", 3), bootloader(4)], {Q12: "1.2"},
             auto("Quarnel") + using("1.2") + TAP + launch(4, Q12) + CLOSE,
             folder="Прошивка 固件", args=tool_args(4, Q12), only="windows"),
    # Letters that code page 1252 lacks but best-fits to others (ř to r, Ł to
    # L, ź to z): the A path names another folder, which does not exist.
    Scenario("folder_best_fit_letters", [board("Quarnel", 3), bootloader(4)], {Q12: "1.2"},
             auto("Quarnel") + using("1.2") + TAP + launch(4, Q12) + CLOSE,
             folder="Dvořák Łódź firmware", args=tool_args(4, Q12), only="windows"),
]

SCENARIO_NAMED = {s.name: s for s in SCENARIOS}


# The real tool on a simulated board: what it must say, and whether the
# image must be found at 0x2000 in the flash afterwards. Each row follows
# a scenario of the table above: its devices, images, input, and what the
# program says up to the tool's command line (the tool's own words follow).
APP_START, PAGE, FLASH_SIZE = 0x2000, 64, 256 * 1024
KERNEL = ("kernel",)  # where the double tap, the unplug and two boards are real
GADGETS = "/sys/kernel/config/usb_gadget"  # configfs: the kernel backend's gadgets


@dataclass
class RealToolRow:
    name: str
    image_size: int         # random bytes
    tool_says: str          # None: the tool never runs, the flash stays as it came
    flashed: bool = False
    unplug_at: str = None   # simulated_board's --unplug-at: the moment the board goes
    scenario: str = "full_upload"
    backends: tuple = ("linux", "windows", "kernel")
    ended: bool = False     # simulated_board gets SIGTERM while the tool runs


# What simulated_board says when it pulls the cable at each moment.
UNPLUGGED_AT = {"writing": "the board is unplugged while the tool writes the image",
                "awaiting-answer": "the board is unplugged while the tool waits for an answer"}


REAL_TOOL_ROWS = [
    RealToolRow("whole_upload", 10_000, "Verify successful", flashed=True),  # 156.25 pages
    # The board goes while the data of the image's first write (4 KiB) is on
    # its way: the tool's write fails; on the real kernel cdc_acm has taken
    # it all from the tool at once, which then waits for an answer.
    RealToolRow("unplugged_mid_write", 10_000, "SAM-BA operation failed", unplug_at="writing"),
    RealToolRow("image_larger_than_flash", FLASH_SIZE + 1, "File operation exceeds flash size"),
    # The tool waits for the answer to the copy of its first 4 KiB into
    # flash ("Y00002000,00001000#"): the board goes before its "#" arrives.
    RealToolRow("unplugged_awaiting_answer", 10_000, "SAM-BA operation failed",
                unplug_at="awaiting-answer"),
    RealToolRow("bootloader_at_second_attempt", 10_000, "Verify successful", flashed=True,
                scenario="bootloader_at_second_attempt", backends=KERNEL),
    RealToolRow("no_bootloader_at_any_attempt", 10_000, None,
                scenario="no_bootloader_at_any_attempt", backends=KERNEL),
    # Bravik and Harlun: the program takes the first port by name, ttyACM0.
    # cdc_acm gives each new device the lowest free ttyACM number, and the
    # boards are plugged in one after the other in the order of their ports
    # here, so Bravik is ttyACM0 (on usb1): it is tapped and flashed, and
    # Harlun's flash stays as it came.
    RealToolRow("two_boards_first_by_name", 10_000, "Verify successful", flashed=True,
                scenario="two_boards_first_by_name", backends=KERNEL),
    RealToolRow("unrecognised_letter", 10_000, None, scenario="unrecognised_letter",
                backends=KERNEL),
    # SIGTERM to simulated_board while the tool writes: it passes it on and
    # dies of it, and neither the program, nor the tool, nor its testbed or
    # gadgets are left. (Under Wine, the Wine server outlives any program.)
    RealToolRow("ended_mid_upload", 10_000, None, ended=True, backends=("linux", "kernel")),
]


# --- Running one program and talking to it ----------------------------------------

@dataclass
class Outcome:
    stdout: str
    stderr: str
    status: int


def close_quietly(stream):
    try:
        stream.close()
    except BrokenPipeError:
        pass  # the program has ended before reading all of its input


def parting(said, script, open_end):
    """Where what the program said leaves its script (beyond the script's
    end too, unless open_end); None while it keeps to it."""
    common = os.path.commonprefix([said, script])
    if len(common) < min(len(said), len(script)) or (len(said) > len(script) and not open_end):
        return len(common)
    return None


def session_processes(session):
    """{pid: name} of the live processes of a session (its ID: its first
    process's), whatever process group each is in: a command started with
    group=True, and all it started."""
    found = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue  # ended meanwhile
        # "pid (name) state ppid pgrp session ...": the name may hold spaces.
        state, _, _, sid = stat[stat.rindex(")") + 2:].split()[:4]
        if int(sid) == session and state != "Z":
            found[int(entry)] = stat[stat.index("(") + 1:stat.rindex(")")]
    return found


def end_group(proc):
    """Asks the command's process group to end (simulated_board passes it on
    to the program it started and removes its gadgets), then kills whatever
    is left of its session."""
    try:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(30)
    except (ProcessLookupError, subprocess.TimeoutExpired):
        pass
    for pid in session_processes(proc.pid):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        pass


class EndWhileToolRuns:
    """A watch for converse: SIGTERM to simulated_board once the tool runs
    in its session, and no more input from then on (a program left behind
    would wait at its prompts). Notes the session, the tool's umockdev
    testbed, and what of the session outlived simulated_board (left), which
    it then kills."""

    def __init__(self, tool_file):
        self.tool_name = tool_file[:15]  # as the kernel keeps a process's name
        self.session = self.testbed = self.left = None

    def __call__(self, proc):
        if self.session is None:
            self.end_when_tool_runs(proc)
        elif self.left is None and proc.poll() is not None:
            self.left = session_processes(self.session)
            for pid in self.left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass  # it has just ended
        return self.session is not None

    def end_when_tool_runs(self, proc):
        tools = [pid for pid, name in session_processes(proc.pid).items()
                 if name == self.tool_name]
        if not tools:
            return
        try:
            with open("/proc/%d/environ" % tools[0], "rb") as f:
                environment = dict(v.partition(b"=")[::2] for v in f.read().split(b"\0"))
            self.testbed = environment.get(b"UMOCKDEV_DIR", b"").decode() or None
        except OSError:
            pass  # it has just ended: the row fails on its status
        self.session = proc.pid
        os.kill(proc.pid, signal.SIGTERM)


def converse(command, env, cwd, stdin, on_tap, script, open_end=False, limit_s=RUN_TIMEOUT_S,
             group=False, watch=None):
    """Runs command, writes stdin at once (None: closes it at once), then
    answers each double-tap prompt with a key after on_tap(attempt, proc) (an
    AssertionError there fails the run as well) and
    ends input at the closing prompt, or once the script (the expected
    standard output, pauses set aside) is all said: the scenario has no more
    input to give. Output that leaves the script fails the run at once, and
    so does no end within limit_s. group: the command and all it starts are
    a process group of their own, ended whole on a failure, so that no
    program or tool it started lives on after it. watch(proc), if given, is
    called at each look at the output; once it returns true, no more input
    is given."""
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, cwd=cwd, start_new_session=group)
    chunks = {"out": bytearray(), "err": bytearray()}
    arrived = threading.Event()

    def pump(stream, into):
        for chunk in iter(lambda: os.read(stream.fileno(), 4096), b""):
            into.extend(chunk)
            arrived.set()
        arrived.set()

    readers = [threading.Thread(target=pump, args=(proc.stdout, chunks["out"]), daemon=True),
               threading.Thread(target=pump, args=(proc.stderr, chunks["err"]), daemon=True)]
    for r in readers:
        r.start()

    def send(data):
        try:
            proc.stdin.write(data)
            proc.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass  # the program has ended or input is already closed

    send((stdin or "").encode())
    if stdin is None:
        close_quietly(proc.stdin)

    def stop(why):
        end_group(proc) if group else proc.kill()
        close_quietly(proc.stdin)  # a program left under a killed wrapper ends too
        for r, stream in zip(readers, (proc.stdout, proc.stderr)):
            r.join(5)
            if not r.is_alive():
                close_quietly(stream)
        raise AssertionError("%s; standard output:\n%s\nstandard error:\n%s" % (
            why, chunks["out"].decode("latin-1"), chunks["err"].decode("latin-1")))

    answered, text = 0, ""
    started = last_news = time.monotonic()
    while any(r.is_alive() for r in readers) or proc.poll() is None:
        if time.monotonic() > started + limit_s:
            stop("no end after %d s" % limit_s)
        arrived.wait(0.05)
        arrived.clear()
        quiet = watch is not None and watch(proc)
        before, text = text, chunks["out"].decode("latin-1").replace("\r\n", "\n")
        if text != before:
            last_news = time.monotonic()
        while answered < text.count(TAP) and not quiet:
            answered += 1
            failure = None
            try:
                on_tap(answered, proc)
            except AssertionError as e:
                failure = str(e)
            if failure:
                stop(failure)
            send(b"\n")
        if "Press Enter to exit..." in text and not proc.stdin.closed and not quiet:
            send(b"\n")
            close_quietly(proc.stdin)
        said = normalised(text)
        if said == script and not open_end:
            close_quietly(proc.stdin)
        off = parting(said, script, open_end)
        if off is not None and time.monotonic() - last_news > OFF_SCRIPT_GRACE_S:
            stop("off the script after %r: it says %r where the script has %r"
                 % (said[:off][-80:], said[off:off + 80], script[off:off + 80]))
    proc.wait()
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        close_quietly(stream)
    return Outcome(chunks["out"].decode("latin-1"), chunks["err"].decode("latin-1"),
                   proc.returncode)


# --- Backends ---------------------------------------------------------------------------

def factory_flash(simulated_board):
    """The simulated chip's flash as it comes from the bench."""
    with tempfile.TemporaryDirectory(prefix="upm-e2e-") as work:
        dump = os.path.join(work, "factory.bin")
        subprocess.run([simulated_board, "--board", "none", "--flash-dump", dump,
                        "--", "true"], check=True, stderr=subprocess.DEVNULL,
                       timeout=RUN_TIMEOUT_S)
        with open(dump, "rb") as f:
            return f.read()


def wrapper():
    return shlex.split(os.environ.get("UPM_E2E_WRAPPER", ""))


class LinuxBackend:
    name = "linux"
    program_file = "UpdateProgramManually"
    tool_file = "bossac"
    real_tool_hint = "cmake --build --preset native --target bossac"
    simulated_port = 1  # simulated_board's bootloader is ttyACM1
    # Each run has a testbed and a folder of its own and mostly waits (the
    # program's one-second waits before each detection): four side by side.
    scenarios_at_once = 4
    pause_text = re.compile(r"Press any key to continue \. \. \. \n")

    # Devices that appear later have their /sys/class/tty entry moved aside
    # before the program starts, and moved back when their attempt comes.
    # The testbed folder is noted in a file, since umockdev-run picks it.
    INSIDE = ('note=$1; shift\n'
              'while [ "$1" != -- ]; do\n'
              '  mv "$UMOCKDEV_DIR/sys/class/tty/$1" "$UMOCKDEV_DIR/hidden-$1"; shift\n'
              'done; shift\n'
              'printf %s "$UMOCKDEV_DIR" > "$note"\n'
              'exec "$@"\n')

    def __init__(self, program, fake_tool, simulated_board, real_tool=None):
        self.program, self.fake_tool = program, fake_tool
        self.simulated_board = simulated_board
        self.real_tool = real_tool or shutil.which("bossac")
        self.wrapper = wrapper()

    def fields(self, folder):
        # The program's UTF-8 output is read as Latin-1, byte for byte.
        folder = folder.encode("utf-8").decode("latin-1")
        return {"dir": folder, "sep": "/",
                "tool": folder + "/Bossac/1.9.1/bossac",
                **{"port%d" % n: "ttyACM%d" % n for n in range(10)}}

    def listing_order(self, folder):
        return os.listdir(folder)  # readdir's order, as the program sees it

    @staticmethod
    def umockdev_record(d):
        """A USB CDC-ACM port as umockdev-record writes one: the tty, its USB
        interface, its USB device. umockdev makes no "device" link by itself,
        so the tty's record names it, as real sysfs has it."""
        usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-%d" % (d.port + 1)
        interface = "%s/1-%d:1.0" % (usb, d.port + 1)
        return ("P: {i}/tty/ttyACM{n}\nN: ttyACM{n}\nE: DEVNAME=/dev/ttyACM{n}\n"
                "E: MAJOR=166\nE: MINOR={n}\nE: SUBSYSTEM=tty\nL: device=../../../1-{u}:1.0\n\n"
                "P: {i}\nE: DEVTYPE=usb_interface\nE: DRIVER=cdc_acm\nE: SUBSYSTEM=usb\n"
                "A: bInterfaceClass=02\nA: bInterfaceNumber=00\n\n"
                "P: {usb}\nN: bus/usb/001/{bus:03d}\nE: DEVNAME=/dev/bus/usb/001/{bus:03d}\n"
                "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n"
                "A: idVendor={vid:04x}\nA: idProduct={pid:04x}\nA: bcdDevice=0100\n\n"
                ).format(i=interface, n=d.port, u=d.port + 1, usb=usb, bus=d.port + 2,
                         vid=d.vid, pid=d.pid)

    def run(self, folder, scenario, cwd, env_extra, script):
        work = os.path.dirname(folder)
        record = os.path.join(work, "devices.umockdev")
        note = os.path.join(work, "testbed")
        with open(record, "w") as f:
            f.write("".join(self.umockdev_record(d) for d in scenario.devices))
        late = {d.port: d.appears for d in scenario.devices if d.appears}

        def on_tap(attempt, proc):
            for port, appears in late.items():
                if appears == attempt:
                    with open(note) as f:
                        testbed = f.read()
                    os.rename(os.path.join(testbed, "hidden-ttyACM%d" % port),
                              os.path.join(testbed, "sys/class/tty/ttyACM%d" % port))

        command = (["umockdev-run", "-d", record, "--", "sh", "-c", self.INSIDE, "sh", note]
                   + ["ttyACM%d" % p for p in late] + ["--"]
                   + self.wrapper + [os.path.join(folder, self.program_file)])
        return converse(command, self.environment(env_extra), cwd, scenario.stdin, on_tap,
                        script)

    @staticmethod
    def environment(env_extra=None):
        env = dict(os.environ, LC_ALL="C", **(env_extra or {}))
        env.pop("UPM_FAKE_BOSSAC_LOG", None)
        # umockdev's preload library comes before an AddressSanitizer
        # build's runtime, which ASan refuses unless told it is fine.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                     "verify_asan_link_order=0"]))
        return env

    @staticmethod
    def boards_of(scenario):
        return 1  # the scenario's devices are simulated_board's one board and its bootloader

    def run_on_simulated_board(self, folder, scenario, options, cwd, script, open_end,
                               watch=None):
        """The program on simulated_board's Quarnel (ttyACM0) and bootloader
        (ttyACM1); the wrapper goes before both programs."""
        command = (self.wrapper + [self.simulated_board] + options + ["--"]
                   + self.wrapper + [os.path.join(folder, self.program_file)])
        return converse(command, self.environment(), cwd, scenario.stdin,
                        lambda attempt, proc: None, script, open_end, group=True, watch=watch)

    def check_extra(self, case, outcome, folder):
        case.assertEqual(outcome.stderr, "", "standard error")

    def close(self):
        pass


class KernelBackend(LinuxBackend):
    """The native program on the real kernel, inside scripts/run-in-vm.sh:
    simulated_board --usb-gadget's boards are USB gadgets on dummy_hcd that
    the kernel enumerates with cdc_acm, and a double tap (SIGUSR1) makes the
    first one leave the bus and come back as its bootloader."""
    name = "kernel"
    runs_scenarios = False  # the fake tool's table: umockdev and Wine cover it
    # The tapped board's bootloader is a new device; cdc_acm gives it the
    # lowest free number, which the board itself has just given back.
    simulated_port = 0
    run_limit_s = 60  # a hung tool fails its row, not the whole stage's time
    APPLICATIONS = {ids: name for name, ids in DEVICE_IDS.items()
                    if name not in ("Bootloader", "Unknown")}

    def gadget_plan(self, scenario):
        """(simulated_board's --board values, the attempts at which the first
        board is tapped) for a scenario's devices; (None, ()) when there is
        none. The application boards are gadgets in the order of their
        ports, so the kernel numbers their ttyACMs in the scenario's order;
        the bootloader is the first board tapped at the attempt it appears
        (or the first); alone, it is a board with no application. Other
        devices are left out: dummy_hcd has two controllers."""
        apps = [self.APPLICATIONS[(d.vid, d.pid)]
                for d in sorted(scenario.devices, key=lambda d: d.port)
                if (d.vid, d.pid) in self.APPLICATIONS]
        loaders = [d for d in scenario.devices if (d.vid, d.pid) == DEVICE_IDS["Bootloader"]]
        if not apps:
            return (["none"] if loaders else None), ()
        return apps, tuple(d.appears or 1 for d in loaders)

    def boards_of(self, scenario):
        return len(self.gadget_plan(scenario)[0] or [])

    def program_command(self, folder):
        return self.wrapper + [os.path.join(folder, self.program_file)]

    @staticmethod
    def bootloader_present():
        def usb_id(tty, name):
            try:
                with open(os.path.join("/sys/class/tty", tty, "device", "..", name)) as f:
                    return int(f.read(), 16)
            except OSError:
                return None
        return any((usb_id(tty, "idVendor"), usb_id(tty, "idProduct")) == DEVICE_IDS["Bootloader"]
                   for tty in os.listdir("/sys/class/tty"))

    def run_on_simulated_board(self, folder, scenario, options, cwd, script, open_end,
                               watch=None):
        boards, taps = self.gadget_plan(scenario)
        program = self.program_command(folder)
        command = program if boards is None else (
            self.wrapper + [self.simulated_board, "--usb-gadget"]
            + [o for b in boards for o in ("--board", b)] + options + ["--"] + program)

        def on_tap(attempt, proc):
            # As an operator would: tap, see the light, then press Enter.
            # simulated_board takes the bootloader's IDs from the program's
            # own table; the kernel must show this test's own.
            if attempt in taps:
                os.kill(proc.pid, signal.SIGUSR1)
                deadline = time.monotonic() + 20
                while not self.bootloader_present():
                    if time.monotonic() > deadline:
                        raise AssertionError("no bootloader %04x:%04x 20 s after the tap"
                                             % DEVICE_IDS["Bootloader"])
                    time.sleep(0.05)

        return converse(command, self.environment(), cwd, scenario.stdin, on_tap, script,
                        open_end, limit_s=self.run_limit_s, group=True, watch=watch)


class WindowsBackend:
    name = "windows"
    program_file = "UpdateProgramManually.exe"
    tool_file = "bossac.exe"
    real_tool_hint = "cmake --build --preset windows --target bossac"
    # Wine maps COM1 to the machine's /dev/ttyS0 by itself; COM9 is free.
    simulated_port = 9
    # The runs share the prefix's registry, which each writes its ports into.
    scenarios_at_once = 1
    pause_text = re.compile(r"Press any key to continue\.\.\. ")
    ENUM = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB"
    PORTS_CLASS = "{4D36E978-E325-11CE-BFC1-08002BE10318}"

    def __init__(self, program, fake_tool, prefix, simulated_board=None, real_tool=None):
        self.program, self.fake_tool = program, fake_tool
        self.prefix, self.simulated_board, self.real_tool = prefix, simulated_board, real_tool
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("UPM_FAKE_BOSSAC_LOG", None)
        # The prefix's Wine server, started here with its output discarded and
        # kept for the run: one that a slow program's start had to start again
        # would write into that program's standard error, where a hang-up of
        # the simulated port makes it dump its state.
        os.makedirs(prefix, exist_ok=True)
        subprocess.run(["wineserver", "-p60"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        self.regedit([])  # a prefix left by an interrupted session may hold devices

    def fields(self, folder):
        windows_dir = self.as_program_names_it("Z:" + folder.replace("/", "\\"))
        return {"dir": windows_dir, "sep": "\\",
                "tool": windows_dir + "/Bossac/1.9.1/bossac.exe",
                **{"port%d" % n: "COM%d" % n for n in range(10)}}

    def as_program_names_it(self, path):
        """path, or its short form where code page 1252 lacks one of its letters."""
        try:
            path.encode("cp1252")
            return path
        except UnicodeEncodeError:
            return subprocess.run(["wine", "winepath", "-s", path], env=self.env, check=True,
                                  capture_output=True, text=True, stdin=subprocess.DEVNULL,
                                  timeout=RUN_TIMEOUT_S).stdout.strip()

    def listing_order(self, folder):
        return sorted(os.listdir(folder), key=str.upper)  # Wine, like NTFS, lists sorted

    def device_keys(self, d):
        key = "%s\\VID_%04X&PID_%04X\\E2E&%d" % (self.ENUM, d.vid, d.pid, d.port)
        ids = d.hardware_ids or ["USB\\VID_%04X&PID_%04X&REV_0100" % (d.vid, d.pid),
                                 "USB\\VID_%04X&PID_%04X" % (d.vid, d.pid)]
        multi_sz = "".join(i + "\0" for i in ids) + "\0"
        return ('[%s]\n"ClassGUID"="%s"\n"HardwareID"=hex(7):%s\n"FriendlyName"="%s"\n\n'
                % (key, self.PORTS_CLASS, ",".join("%02x" % b for b in multi_sz.encode()),
                   d.friendly or "USB Serial Device (COM%d)" % d.port))

    def regedit(self, devices, remove_others=True):
        """Writes devices into the prefix's registry; first removes every
        device key of the known IDs so each run starts from its own set."""
        text = "REGEDIT4\n\n"
        if remove_others:
            text += "".join("[-%s\\VID_%04X&PID_%04X]\n\n" % (self.ENUM, v, p)
                            for v, p in DEVICE_IDS.values())
        text += "".join(self.device_keys(d) for d in devices)
        with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False) as f:
            f.write(text)
        try:
            subprocess.run(["wine", "regedit", "/S", f.name], env=self.env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=RUN_TIMEOUT_S)
        finally:
            os.unlink(f.name)

    def run(self, folder, scenario, cwd, env_extra, script):
        # Wine's SetupDiGetClassDevsA(DIGCF_PRESENT) lists a key under Enum\USB
        # that holds ClassGUID, HardwareID and FriendlyName; nothing more is needed.
        self.regedit([d for d in scenario.devices if not d.appears])

        def on_tap(attempt, proc):
            appearing = [d for d in scenario.devices if d.appears == attempt]
            if appearing:
                self.regedit(appearing, remove_others=False)

        command = ["wine", os.path.join(folder, self.program_file)]
        return converse(command, dict(self.env, **env_extra), cwd, scenario.stdin, on_tap,
                        script)

    boards_of = staticmethod(LinuxBackend.boards_of)

    def run_on_simulated_board(self, folder, scenario, options, cwd, script, open_end,
                               watch=None):
        """The program under Wine sees a Quarnel on COM8 and the bootloader
        on COM9 in the registry; COM9 itself is simulated_board's
        pseudo-terminal, which Wine opens through the dosdevices link. The
        wrapper goes before simulated_board only: Wine runs the program."""
        port = self.simulated_port
        self.regedit([board("Quarnel", port - 1), bootloader(port)])
        link = os.path.join(self.prefix, "dosdevices", "com%d" % port)
        command = (wrapper() + [self.simulated_board, "--serial-link", link] + options
                   + ["--", "wine", os.path.join(folder, self.program_file)])
        outcome = converse(command, self.env, cwd, scenario.stdin, lambda attempt, proc: None,
                           script, open_end, group=True, watch=watch)
        if os.path.lexists(link):
            raise AssertionError("simulated_board left its link %s behind" % link)
        return outcome

    def check_extra(self, case, outcome, folder):
        # What CreateProcessA really passed is the line the program printed.
        if tool_log(folder, "bossac-args.txt") is not None:
            printed = [line for line in normalised(outcome.stdout).split("\n")
                       if "--offset=0x2000" in line]
            case.assertEqual(tool_log(folder, "bossac-cmdline.txt"), printed[-1:],
                             "raw command line")

    def close(self):
        self.regedit([])
        subprocess.run(["wineserver", "-k"], env=self.env, check=False)


class EmptyRootBackend(KernelBackend):
    """--empty-root: the release's kit unpacked into a root of its own that
    holds nothing else but the system's /dev, /proc and /sys, bound
    read-only, and its program started there by chroot: what a program
    needs beyond them (a loader, a library, a shell) is not to be had."""
    run_limit_s = 120  # an ARM kit is emulated twice over: qemu-user in the emulated guest

    @staticmethod
    def root_and_inside(folder):
        """The kit's root, and the kit's folder as the program sees it."""
        root = os.path.dirname(folder)
        return root, os.path.join("/", os.path.relpath(folder, root))

    def fields(self, folder):
        return super().fields(self.root_and_inside(folder)[1])

    def program_command(self, folder):
        root, inside = self.root_and_inside(folder)
        return ["chroot", root, os.path.join(inside, self.program_file)]

    def run_on_simulated_board(self, folder, *args, **kwargs):
        # Read-only, and detached before anything removes the root: removing
        # the work folder must never reach the system's files.
        root, bound = self.root_and_inside(folder)[0], []
        try:
            for name in ("dev", "proc", "sys"):
                target = os.path.join(root, name)
                os.mkdir(target)
                subprocess.run(["mount", "--bind", "-o", "ro", "/" + name, target], check=True)
                bound.append(target)
            return super().run_on_simulated_board(folder, *args, **kwargs)
        finally:
            for target in reversed(bound):
                subprocess.run(["umount", "--lazy", target], check=True)


# --- The tests ------------------------------------------------------------------------------

BACKEND = None  # set in main()
RELEASE = None  # --release: the archive whose program and tool the real-tool rows run
ROWS = []  # --rows: the real-tool rows to run; empty: all
PREFIX_LOCK = None  # held while this run uses a --wineprefix
RELEASE_FOLDER = "Mise à jour"
EMPTY_ROOT = False  # --empty-root: the release's kit is all there is in the program's root


def unpack_release(archive, folder):
    """As an operator would: Explorer's "Extract all" for the ZIP (which
    keeps no Unix permissions), the guide's tar command for the tar.gz."""
    os.makedirs(folder)
    if archive.endswith(".zip"):
        with zipfile.ZipFile(archive) as packed:
            packed.extractall(folder)
    else:
        subprocess.run(["tar", "-xzf", archive, "-C", folder], check=True)


def lay_out_folder(scenario, tool_source, images=None, release=None):
    """A fresh program folder (its name as the scenario wants) inside a
    fresh work folder, with a working folder "elsewhere" beside it; returns
    (work, folder). images: name -> content, else 16 zero bytes each.
    release: an archive to unpack there instead of the program and tool."""
    work = tempfile.mkdtemp(prefix="upm-e2e-")
    folder = os.path.join(work, "root" if release and EMPTY_ROOT else "", scenario.folder)
    os.mkdir(os.path.join(work, "elsewhere"))  # the working folder must not matter
    if release:
        unpack_release(release, folder)
        tool_source = None
    else:
        os.makedirs(os.path.join(folder, "Bossac", "1.9.1"))
        shutil.copy2(BACKEND.program, os.path.join(folder, BACKEND.program_file))
    for image in scenario.images:
        with open(os.path.join(folder, image), "wb") as f:
            f.write((images or {}).get(image, b"\x00" * 16))
    if tool_source:
        shutil.copy2(tool_source, os.path.join(folder, "Bossac", "1.9.1", BACKEND.tool_file))
    return work, folder


def expected_fields(scenario, folder):
    fields = BACKEND.fields(folder)
    listed = [n for n in BACKEND.listing_order(folder) if n in scenario.images]
    for i, name in enumerate(listed, 1):
        fields["listed%d" % i] = name
        fields["ver%d" % i] = scenario.images[name]
    return fields


def run_in_folder(scenario, tool_source):
    """(work, folder, outcome, the fields of the expected texts)"""
    work, folder = lay_out_folder(scenario, tool_source)
    try:
        fields = expected_fields(scenario, folder)
        outcome = BACKEND.run(folder, scenario, os.path.join(work, "elsewhere"), scenario.env,
                              scenario.stdout.format(**fields))
    except BaseException:
        shutil.rmtree(work, ignore_errors=True)
        raise
    return work, folder, outcome, fields


def tool_log(folder, name):
    """The lines the stand-in tool wrote to its log name; None when it never ran."""
    path = os.path.join(folder, "Bossac", "1.9.1", name)
    if not os.path.exists(path):
        return None
    with open(path, encoding="latin-1") as f:
        return f.read().split("\n")[:-1]


def normalised(stdout):
    return BACKEND.pause_text.sub("", stdout.replace("\r\n", "\n"))


class Scenarios(unittest.TestCase):
    maxDiff = None

    def test_scenarios(self):
        if not getattr(BACKEND, "runs_scenarios", True):
            self.skipTest("the fake tool's scenarios are for the other backends")
        chosen = [s for s in SCENARIOS if s.only in (None, BACKEND.name)]
        with ThreadPoolExecutor(BACKEND.scenarios_at_once) as pool:
            runs = [pool.submit(run_in_folder, s, BACKEND.fake_tool if s.tool == FAKE else None)
                    for s in chosen]
            for scenario, run in zip(chosen, runs):
                with self.subTest(scenario.name):
                    self.check(scenario, *run.result())

    def check(self, scenario, work, folder, outcome, fields):
        try:
            self.assertEqual(normalised(outcome.stdout), scenario.stdout.format(**fields))
            self.assertEqual(outcome.status, scenario.status)
            expected = [a.format(**fields) for a in scenario.args] if scenario.args else None
            self.assertEqual(tool_log(folder, "bossac-args.txt"), expected, "tool arguments")
            if expected:
                self.assertEqual(tool_log(folder, "bossac-image.txt"), ["opened"],
                                 "the tool can open the image it is given")
            BACKEND.check_extra(self, outcome, folder)
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def test_real_flashing_tool(self):
        """The real bossac 1.9.1 (or bossac.exe under Wine), started
        by the program as on a bench, on a simulated board whose bootloader
        it can identify, erase, write, verify and reset; the image is read
        back out of the simulated flash."""
        real = RELEASE or BACKEND.real_tool
        missing = ("no real %s (%s)" % (BACKEND.tool_file, BACKEND.real_tool_hint)
                   if not real or not os.path.exists(real) else
                   "no simulated_board (needs libumockdev-dev)" if not BACKEND.simulated_board
                   else None)
        if missing:
            # CI installs both: there these rows must run, not quietly vanish.
            (self.fail if os.environ.get("CI") else self.skipTest)(missing)
        factory = factory_flash(BACKEND.simulated_board)
        for row in REAL_TOOL_ROWS:
            if BACKEND.name in row.backends and (not ROWS or row.name in ROWS):
                label = row.name + (" from " + os.path.basename(RELEASE) if RELEASE else "")
                with self.subTest(label):
                    started = time.monotonic()
                    try:
                        self.check_real_tool(row, real, factory)
                    finally:
                        print("  %s: %.1f s" % (label, time.monotonic() - started),
                              file=sys.stderr)

    def check_real_tool(self, row, real, factory):
        scenario = SCENARIO_NAMED[row.scenario]
        if RELEASE:
            # Another board's image beside it changes nothing for a Quarnel.
            scenario = replace(scenario, images=dict(scenario.images, **{B10: "1.0"}),
                               folder=RELEASE_FOLDER)
        images = {name: random.Random(row.name + name).randbytes(row.image_size)
                  for name in scenario.images}
        work, folder = lay_out_folder(scenario, real, images=images, release=RELEASE)
        outcome = None
        try:
            dumps = [os.path.join(work, "flash%d.bin" % i)
                     for i in range(BACKEND.boards_of(scenario))]
            options = [o for dump in dumps for o in ("--flash-dump", dump)]
            if row.unplug_at:
                options += ["--unplug-at", row.unplug_at]
            # The only port the program ever names here is the bootloader's.
            fields = dict(expected_fields(scenario, folder), **{
                "port%d" % n: BACKEND.fields(folder)["port%d" % BACKEND.simulated_port]
                for n in range(10)})
            script = scenario.stdout.format(**fields)
            start, launched, _ = script.partition(" --offset=0x2000 -R\n")
            start += launched
            watch = EndWhileToolRuns(BACKEND.tool_file) if row.ended else None
            outcome = BACKEND.run_on_simulated_board(
                folder, scenario, options, os.path.join(work, "elsewhere"), start, bool(launched),
                watch)
            if watch:
                self.check_nothing_left(watch, outcome)
            else:
                self.check_real_tool_outcome(row, scenario, outcome, start,
                                             CLOSE if launched else script, images, factory,
                                             dumps)
        except AssertionError as e:
            if outcome is None:
                raise
            raise AssertionError("%s\nstandard output:\n%s\nstandard error:\n%s" % (
                e, outcome.stdout, outcome.stderr)) from None
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def check_nothing_left(self, watch, outcome):
        self.assertIsNotNone(watch.session, "the tool never ran")
        self.assertEqual(outcome.status, -signal.SIGTERM, "simulated_board dies of SIGTERM")
        left = session_processes(watch.session) if watch.left is None else watch.left
        self.assertEqual(left, {}, "left running")
        if watch.testbed:
            self.assertFalse(os.path.exists(watch.testbed), "its testbed is left")
        if os.path.isdir(GADGETS):
            self.assertEqual([g for g in os.listdir(GADGETS) if g.startswith("simulated_board")],
                             [], "its gadgets are left")

    def check_real_tool_outcome(self, row, scenario, outcome, start, ending, images, factory,
                                dumps):
        """start: what the program must say first; ending: what it must say last."""
        said = normalised(outcome.stdout)
        self.assertTrue(said.startswith(start), "the start")
        self.assertTrue(said.endswith(ending), "the end")
        self.assertEqual(outcome.status, scenario.status)
        if row.tool_says is not None:
            self.assertIn(row.tool_says, outcome.stdout + outcome.stderr)
        if row.unplug_at:
            self.assertIn("simulated_board: %s\n" % UNPLUGGED_AT[row.unplug_at], outcome.stderr)
        self.assertNotRegex(outcome.stdout + outcome.stderr,
                            "unrecognized option|invalid option|Try 'bossac")
        flashes = []
        for dump in dumps:
            with open(dump, "rb") as f:
                flashes.append(f.read())
        for flash in flashes:
            self.assertEqual(flash[:APP_START], factory[:APP_START], "bootloader area")
        untouched = flashes if row.tool_says is None else flashes[1:]
        self.assertTrue(untouched == [factory] * len(untouched), "a flash the tool never wrote")
        if row.flashed:
            image = next(images[name] for name in images if name in start.split("\n")[-2])
            end = APP_START + len(image)
            self.assertEqual(flashes[0][APP_START:end], image, "image at 0x2000")
            last_page_end = APP_START + -(-len(image) // PAGE) * PAGE
            self.assertEqual(flashes[0][last_page_end:], factory[last_page_end:],
                             "erased after the image's last page")
            self.assertIn(", reset requested", outcome.stderr)


def hold_prefix(prefix):
    """One run at a time in a shared prefix: each writes its own ports into
    the registry and ends the prefix's Wine server when done."""
    global PREFIX_LOCK
    PREFIX_LOCK = open(os.path.abspath(prefix) + ".lock", "w")
    try:
        fcntl.flock(PREFIX_LOCK, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print("waiting for the Wine prefix %s, in use by another run" % prefix, flush=True)
        fcntl.flock(PREFIX_LOCK, fcntl.LOCK_EX)


def main():
    global BACKEND, RELEASE, ROWS, EMPTY_ROOT
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--backend", choices=["linux", "windows", "kernel"], required=True,
                        help="kernel: inside scripts/run-in-vm.sh, as root")
    parser.add_argument("--program", required=True, help="the built program to copy and run")
    parser.add_argument("--fake-bossac", required=True, help="the built stand-in tool")
    parser.add_argument("--simulated-board",
                        help="the built simulated_board (a Linux program on both backends)")
    parser.add_argument("--real-bossac",
                        help="the real flashing tool (default on Linux: bossac on the PATH)")
    parser.add_argument("--wineprefix", help="Wine prefix to use (default: a temporary one)")
    parser.add_argument("--release", help="a release archive whose program and tool the "
                                          "real-tool rows run, as unpacked by an operator")
    parser.add_argument("--empty-root", action="store_true",
                        help="with --release on the kernel backend: the program runs chrooted "
                             "in a root that holds nothing but the kit and /dev, /proc, /sys")
    parser.add_argument("--rows", help="the real-tool rows to run, by name, comma-separated "
                                       "(default: all of the backend's)")
    options, rest = parser.parse_known_args()
    ROWS = options.rows.split(",") if options.rows else []
    if options.empty_root and (options.backend != "kernel" or not options.release):
        parser.error("--empty-root takes the kernel backend and --release")
    EMPTY_ROOT = options.empty_root
    program = os.path.abspath(os.environ.get("UPM_E2E_PROGRAM") or options.program)
    fake_tool = os.path.abspath(options.fake_bossac)
    board_program, real_tool = (options.simulated_board and os.path.abspath(options.simulated_board),
                                options.real_bossac and os.path.abspath(options.real_bossac))
    RELEASE = options.release and os.path.abspath(options.release)
    own_prefix = None
    if options.backend in ("linux", "kernel"):
        backend = (LinuxBackend if options.backend == "linux" else
                   EmptyRootBackend if options.empty_root else KernelBackend)
        BACKEND = backend(program, fake_tool, board_program, real_tool)
    else:
        prefix = options.wineprefix or tempfile.mkdtemp(prefix="upm-e2e-wine-")
        own_prefix = None if options.wineprefix else prefix
        if options.wineprefix:
            hold_prefix(prefix)
        BACKEND = WindowsBackend(program, fake_tool, os.path.abspath(prefix), board_program,
                                 real_tool)
    try:
        result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
    finally:
        BACKEND.close()
        if own_prefix:
            shutil.rmtree(own_prefix, ignore_errors=True)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
