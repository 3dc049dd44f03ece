// simulated_board: runs a program beside a simulated board, with no hardware.
//
//   simulated_board [--board NAME|none] [--serial-link PATH | --usb-gadget]
//                   [--flash-dump FILE] [--hang-up-after BYTES] -- PROGRAM [ARG...]
//   simulated_board --help
//
// A umockdev testbed holds two USB serial ports: the application board NAME
// (default Quarnel) as ttyACM0 and its bootloader as ttyACM1, with the USB
// IDs of the program's own tables. PROGRAM runs inside the testbed (umockdev's
// preload library and the testbed's folder in its environment), and the
// bootloader port answers the flashing tool as the board's chip would
// (simulated_chip.h), so the real tool can identify, erase, write, verify and
// reset it.
//
//   --board none           no application board, only the bootloader
//   --serial-link PATH     no testbed: the bootloader answers on a plain
//                          pseudo-terminal linked at PATH, as the chip does on
//                          its UART (auto-baud, XMODEM; uart_dialect.h), and
//                          PROGRAM runs as it is. A link in a Wine prefix's
//                          dosdevices makes it a COM port. There is no USB
//                          port to make there: --board only checks its NAME.
//   --usb-gadget           no testbed: the board is a USB gadget of the
//                          kernel's (usb_gadget.h) on dummy_hcd, which the
//                          host side sees as on a cable; SIGUSR1 is the double
//                          tap on the reset button, after which it comes back
//                          as its bootloader, and the tool's reset brings back
//                          the application. A second --board (and a second
//                          --flash-dump for it) is a second board, on the
//                          second controller, tapped by SIGUSR2.
//   --flash-dump FILE      once PROGRAM has ended, the whole flash into FILE
//   --hang-up-after BYTES  the board is unplugged after that many bytes from
//                          the tool: its port hangs up there and then
//
// Exit status: PROGRAM's (128 + the signal when it was killed); 127 when it
// cannot be started; 125 when this program's own work fails; 2 for bad usage.
// One summary line goes to standard error when PROGRAM has ended.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boards.h"
#include "simulated_chip.h"
#include "usb_gadget.h"

extern char **environ;

namespace {

constexpr int kUsageError = 2;
constexpr int kOwnFailure = 125;
constexpr int kCannotStart = 127;
constexpr char kBoardNode[] = "/dev/ttyACM0";
constexpr char kBootloaderNode[] = "/dev/ttyACM1";
constexpr int kClosedPortPollMs = 5;
constexpr int kIdlePollMs = 20;
constexpr int kWriteTimeoutMs = 2000;

struct Options {
    const char *board = "Quarnel";  // null: none
    const char *serialLink = nullptr;  // null: the umockdev testbed
    const char *flashDump = nullptr;
    bool usbGadget = false;
    int boardsGiven = 0, flashDumpsGiven = 0;
    const char *secondBoard = nullptr;  // --usb-gadget only
    const char *secondFlashDump = nullptr;
    long long hangUpAfter = -1;  // -1: never
    char **program = nullptr;
    bool help = false;
};

void print_usage(FILE *out) {
    fputs("usage: simulated_board [--board NAME|none] [--serial-link PATH | --usb-gadget]\n"
          "                       [--flash-dump FILE] [--hang-up-after BYTES] -- PROGRAM [ARG...]\n"
          "       simulated_board --help\n"
          "Runs PROGRAM beside a simulated board. Without --serial-link, inside a umockdev\n"
          "testbed with the board NAME as ttyACM0 and its bootloader as ttyACM1 (USB).\n"
          "With it, the bootloader answers as on its UART on a pseudo-terminal linked at\n"
          "PATH, PROGRAM runs as it is, and no port is made for the board NAME.\n"
          "With --usb-gadget (as root, in scripts/run-in-vm.sh's guest), the board is a\n"
          "USB gadget on dummy_hcd and PROGRAM runs as it is: SIGUSR1 double-taps its\n"
          "reset button, and it comes back as its bootloader; the tool's reset brings back\n"
          "the application. --board and --flash-dump given twice: a second board, tapped\n"
          "by SIGUSR2.\n"
          "boards:",
          out);
    for (const VidPidStruct &board : knownAppBoards) fprintf(out, " %s", board.name);
    fputs(", none\n", out);
}

bool parse_count(const char *text, long long *count) {
    char *end = nullptr;
    errno = 0;
    *count = strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && *count >= 0;
}

bool parse_options(int argc, char **argv, Options *options) {
    for (int i = 1; i < argc; ++i) {
        const char *option = argv[i];
        if (strcmp(option, "--") == 0) {
            options->program = argv + i + 1;
            return i + 1 < argc;
        }
        if (strcmp(option, "--help") == 0) {
            options->help = true;
            return true;
        }
        if (strcmp(option, "--usb-gadget") == 0) {
            options->usbGadget = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char *value = argv[++i];
        if (strcmp(option, "--board") == 0 && options->boardsGiven++ == 1) {
            options->secondBoard = value;
        } else if (strcmp(option, "--board") == 0) {
            options->board = strcmp(value, "none") == 0 ? nullptr : value;
        } else if (strcmp(option, "--serial-link") == 0) {
            options->serialLink = value;
        } else if (strcmp(option, "--flash-dump") == 0 && options->flashDumpsGiven++ == 1) {
            options->secondFlashDump = value;
        } else if (strcmp(option, "--flash-dump") == 0) {
            options->flashDump = value;
        } else if (strcmp(option, "--hang-up-after") == 0) {
            if (!parse_count(value, &options->hangUpAfter)) return false;
        } else {
            return false;
        }
    }
    return false;
}

// --- The testbed ----------------------------------------------------------------------

// "VID_3C7E&PID_5102" as the tables have it; false for any other shape.
bool usb_ids_of(const VidPidStruct &row, unsigned *vendor, unsigned *product) {
    const char *text = row.vidpid;
    if (strncmp(text, "VID_", 4) != 0 || strncmp(text + 8, "&PID_", 5) != 0) return false;
    char *end = nullptr;
    *vendor = static_cast<unsigned>(strtoul(text + 4, &end, 16));
    if (end != text + 8) return false;
    *product = static_cast<unsigned>(strtoul(text + 13, &end, 16));
    return end == text + 17 && *end == '\0';
}

// A USB CDC-ACM port as sysfs shows one: the tty, its USB interface (the
// tty's "device" link), the USB device with the IDs.
void port_record(int number, unsigned vendor, unsigned product, const char *name, char *record,
                 size_t size) {
    const int usb = number + 1;
    snprintf(record, size,
             "P: /devices/pci0000:00/0000:00:14.0/usb1/1-%d/1-%d:1.0/tty/ttyACM%d\n"
             "N: ttyACM%d\nE: DEVNAME=/dev/ttyACM%d\nE: MAJOR=166\nE: MINOR=%d\n"
             "E: SUBSYSTEM=tty\nL: device=../../../1-%d:1.0\n\n"
             "P: /devices/pci0000:00/0000:00:14.0/usb1/1-%d/1-%d:1.0\n"
             "E: DEVTYPE=usb_interface\nE: DRIVER=cdc_acm\nE: SUBSYSTEM=usb\n"
             "A: bInterfaceClass=02\nA: bInterfaceNumber=00\n\n"
             "P: /devices/pci0000:00/0000:00:14.0/usb1/1-%d\n"
             "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n"
             "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=0100\nA: product=%s\n",
             usb, usb, number, number, number, number, usb, usb, usb, usb, vendor, product,
             name);
}

bool add_port(UMockdevTestbed *testbed, int number, const VidPidStruct &row) {
    unsigned vendor = 0, product = 0;
    if (!usb_ids_of(row, &vendor, &product)) return false;
    char record[2048];
    port_record(number, vendor, product, row.name, record, sizeof record);
    GError *error = nullptr;
    if (umockdev_testbed_add_from_string(testbed, record, &error)) return true;
    fprintf(stderr, "simulated_board: cannot add ttyACM%d: %s\n", number,
            error != nullptr ? error->message : "?");
    if (error != nullptr) g_error_free(error);
    return false;
}

const VidPidStruct *board_row(const char *name) {
    for (const VidPidStruct &row : knownAppBoards) {
        if (strcasecmp(row.name, name) == 0) return &row;
    }
    return nullptr;
}

// The program sees the testbed's /sys and /dev through umockdev's preload.
bool enter_testbed(UMockdevTestbed *testbed) {
    char preload[4096];
    const char *earlier = getenv("LD_PRELOAD");
    snprintf(preload, sizeof preload, "libumockdev-preload.so.0%s%s",
             earlier != nullptr && *earlier != '\0' ? ":" : "", earlier != nullptr ? earlier : "");
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    bool entered = setenv("UMOCKDEV_DIR", root, 1) == 0 && setenv("LD_PRELOAD", preload, 1) == 0;
    g_free(root);
    return entered;
}

// --- The bootloader's port ---------------------------------------------------------------

struct Port {
    int fd;  // the master side of the bootloader's pseudo-terminal
    long long goesDeadAfter;  // -1: never
    bool hungUp;              // the master side is gone
    SimulatedChip *chip;
    long long lastLookMs;  // when serve_once last looked at the port
};

void write_to_port(void *context, const uint8_t *data, size_t length) {
    Port *port = static_cast<Port *>(context);
    int waitedMs = 0;
    while (length > 0) {
        ssize_t written = write(port->fd, data, length);
        if (written > 0) {
            data += written;
            length -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) break;
        // The tool is not reading; it may have given up.
        if (waitedMs >= kWriteTimeoutMs) break;
        pollfd out = {port->fd, POLLOUT, 0};
        poll(&out, 1, kIdlePollMs);
        waitedMs += kIdlePollMs;
    }
    if (length > 0) {
        fprintf(stderr, "simulated_board: %zu bytes of an answer could not be sent\n", length);
    }
}

// The last reference to the master side goes: the port is gone for good.
void hang_up(Port *port) {
    int nothing = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nothing < 0 || dup2(nothing, port->fd) < 0) perror("simulated_board: hang-up");
    if (nothing >= 0) close(nothing);
    port->hungUp = true;
}

// An unplugged board's port hangs up at once, as the kernel hangs up the tty
// of a USB serial device that goes, even while the tool waits for an answer:
// its reads end in end of file and its writes fail from then on.
void go_dead(Port *port) {
    fprintf(stderr, "simulated_board: the board is unplugged after %llu bytes\n",
            port->chip->bytesReceived);
    hang_up(port);
}

void serve_bytes(Port *port, const uint8_t *data, size_t length) {
    const ByteSink sink = {port, write_to_port};
    if (port->goesDeadAfter >= 0) {
        unsigned long long left =
            static_cast<unsigned long long>(port->goesDeadAfter) - port->chip->bytesReceived;
        if (length >= left) {
            chip_receive(port->chip, data, left, &sink);
            go_dead(port);
            return;
        }
    }
    chip_receive(port->chip, data, length, &sink);
}

long long monotonic_ms() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A UART transfer the tool left half-done times out on the chip's side.
void tell_chip_the_time(Port *port, bool heardSomething) {
    long long now = monotonic_ms();
    if (!heardSomething && !port->hungUp) {
        const ByteSink sink = {port, write_to_port};
        uart_idle(port->chip, static_cast<uint32_t>(now - port->lastLookMs), &sink);
    }
    port->lastLookMs = now;
}

// One look at the port: serves what the tool sent, or waits a little.
void serve_once(Port *port) {
    pollfd in = {port->fd, POLLIN, 0};
    int ready = poll(&in, 1, kIdlePollMs);
    uint8_t data[4096];
    ssize_t got = ready > 0 && (in.revents & POLLIN) != 0 ? read(port->fd, data, sizeof data) : -1;
    if (got > 0) {
        serve_bytes(port, data, static_cast<size_t>(got));
    } else if (ready > 0) {
        // The tool has the port closed: the master side reports a hang-up
        // until it opens the port again.
        poll(nullptr, 0, kClosedPortPollMs);
    }
    tell_chip_the_time(port, got > 0);
}

// Serves the port until the child ends; false when its end cannot be had.
bool serve_until_exit(Port *port, pid_t child, int *status) {
    for (;;) {
        pid_t ended = waitpid(child, status, port->hungUp ? 0 : WNOHANG);
        if (ended == child) return true;
        if (ended < 0 && errno != EINTR) return false;
        if (!port->hungUp) serve_once(port);
    }
}

// --- The program ------------------------------------------------------------------------------

struct Interrupts {
    struct sigaction interrupt, quit;
};

// Like system(): Ctrl-C and Ctrl-\ are the program's to handle while it runs.
void ignore_interrupts(Interrupts *saved) {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &saved->interrupt);
    sigaction(SIGQUIT, &ignore, &saved->quit);
}

void restore_interrupts(const Interrupts *saved) {
    sigaction(SIGINT, &saved->interrupt, nullptr);
    sigaction(SIGQUIT, &saved->quit, nullptr);
}

bool start_program(char **program, const Interrupts *saved, pid_t *child) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t restored;
    sigemptyset(&restored);
    if (saved->interrupt.sa_handler != SIG_IGN) sigaddset(&restored, SIGINT);
    if (saved->quit.sa_handler != SIG_IGN) sigaddset(&restored, SIGQUIT);
    posix_spawnattr_setsigdefault(&attributes, &restored);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    int error = posix_spawnp(child, program[0], nullptr, &attributes, program, environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        fprintf(stderr, "simulated_board: cannot start %s: %s\n", program[0], strerror(error));
    }
    return error == 0;
}

int exit_status_of(int status) {
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : kOwnFailure;
}

// --- After the run -----------------------------------------------------------------------------

bool write_flash_dump(const SimulatedChip *chip, const char *file) {
    FILE *dump = fopen(file, "wb");
    bool written = dump != nullptr && fwrite(chip->flash, 1, kFlashSize, dump) == kFlashSize;
    if (dump != nullptr && fclose(dump) != 0) written = false;
    if (!written) fprintf(stderr, "simulated_board: cannot write the flash dump %s\n", file);
    return written;
}

void print_summary(const SimulatedChip *chip) {
    if (chip->flashWritten) {
        fprintf(stderr, "simulated_board: flash written at 0x%08X-0x%08X (%u bytes), ",
                chip->writtenLow, chip->writtenHigh - 1, chip->writtenHigh - chip->writtenLow);
    } else {
        fputs("simulated_board: flash not written, ", stderr);
    }
    fputs(chip->resetRequested ? "reset requested\n" : "no reset requested\n", stderr);
}

// The testbed keeps the master sides open without close-on-exec; the
// program and the tool must not inherit them, or a port would never hang up.
bool keep_to_this_process(int fd) { return fd >= 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

// The testbed with its ports, and the bootloader port's master side.
UMockdevTestbed *build_testbed(const Options &options, int *bootloaderFd) {
    UMockdevTestbed *testbed = umockdev_testbed_new();
    const VidPidStruct *board = options.board != nullptr ? board_row(options.board) : nullptr;
    bool built = (options.board == nullptr || (board != nullptr && add_port(testbed, 0, *board))) &&
                 add_port(testbed, 1, knownBootloaders[0]) && enter_testbed(testbed);
    *bootloaderFd = built ? umockdev_testbed_get_dev_fd(testbed, kBootloaderNode) : -1;
    if (built && options.board != nullptr) {
        built = keep_to_this_process(umockdev_testbed_get_dev_fd(testbed, kBoardNode));
    }
    if (!built || !keep_to_this_process(*bootloaderFd) ||
        fcntl(*bootloaderFd, F_SETFL, fcntl(*bootloaderFd, F_GETFL) | O_NONBLOCK) != 0) {
        fputs("simulated_board: cannot set up the simulated ports\n", stderr);
        g_object_unref(testbed);
        return nullptr;
    }
    return testbed;
}

// --- The plain serial link -------------------------------------------------------------

// The slave side raw, as a UART's driver hands bytes over: no echo, no line
// editing, no newline translation, whatever the tool sets up itself.
bool make_raw(const char *slave) {
    int fd = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings = {};
    bool raw = fd >= 0 && tcgetattr(fd, &settings) == 0;
    if (raw) {
        cfmakeraw(&settings);
        raw = tcsetattr(fd, TCSANOW, &settings) == 0;
    }
    if (fd >= 0) close(fd);
    return raw;
}

// A link an earlier run left behind is replaced; anything else at path stays.
bool link_slave(const char *slave, const char *path) {
    struct stat existing = {};
    if (lstat(path, &existing) == 0 && S_ISLNK(existing.st_mode)) unlink(path);
    return symlink(slave, path) == 0;
}

// The master side of a new pseudo-terminal whose slave path names.
int open_serial_link(const char *path) {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char slave[128] = "";
    if (fd >= 0 && grantpt(fd) == 0 && unlockpt(fd) == 0 &&
        ptsname_r(fd, slave, sizeof slave) == 0 && make_raw(slave) && link_slave(slave, path)) {
        return fd;
    }
    fprintf(stderr, "simulated_board: cannot make the serial link %s: %s\n", path,
            strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
}

const char *linkToRemove = nullptr;

}  // namespace

// A kill leaves no link to a pseudo-terminal that is gone; Ctrl-C is the
// program's (ignore_interrupts), and the way out after it removes the link.
extern "C" {
static void remove_link_and_die(int signalNumber) {
    if (linkToRemove != nullptr) unlink(linkToRemove);
    (void)raise(signalNumber);  // SA_RESETHAND: the default action this time
}
}

namespace {

void remove_link_on_signals(const char *path) {
    linkToRemove = path;
    struct sigaction removal = {};
    removal.sa_handler = remove_link_and_die;
    removal.sa_flags = SA_RESETHAND;
    sigaction(SIGTERM, &removal, nullptr);
    sigaction(SIGHUP, &removal, nullptr);
}

// The bootloader's port: ttyACM1 of a new testbed (*testbed), or the link.
bool open_bootloader_port(const Options &options, UMockdevTestbed **testbed, int *fd) {
    if (options.serialLink == nullptr) {
        *testbed = build_testbed(options, fd);
        return *testbed != nullptr;
    }
    *fd = open_serial_link(options.serialLink);
    if (*fd < 0) return false;
    remove_link_on_signals(options.serialLink);
    return true;
}

void close_bootloader_port(const Options &options, UMockdevTestbed *testbed, int fd) {
    // Only now: the testbed serves the preload's requests while the program runs.
    if (testbed != nullptr) g_object_unref(testbed);
    if (options.serialLink != nullptr) {
        unlink(options.serialLink);
        close(fd);
    }
}

// Serves the boards until the child ends; false when its end cannot be had.
using Server = bool (*)(void *boards, pid_t child, int *status);

bool serve_testbed_port(void *port, pid_t child, int *status) {
    return serve_until_exit(static_cast<Port *>(port), child, status);
}

int run_program(const Options &options, Server serve, void *boards) {
    Interrupts saved;
    ignore_interrupts(&saved);
    pid_t child = 0;
    int status = kCannotStart;
    if (start_program(options.program, &saved, &child)) {
        int waitStatus = 0;
        status = serve(boards, child, &waitStatus) ? exit_status_of(waitStatus) : kOwnFailure;
    }
    restore_interrupts(&saved);
    return status;
}

// --- Boards on the kernel's USB gadgets --------------------------------------------------

constexpr int kMaxGadgetBoards = 2;

// A board on a USB gadget shows itself either as its application or as its
// bootloader, whose port (the gadget's tty) the chip answers on.
struct GadgetBoard {
    const VidPidStruct *app;  // null: none, it stays in its bootloader
    UsbGadget gadget;
    Port port;        // fd -1 while it runs its application or is unplugged
    bool unplugged;   // for good: it is never plugged in again
    bool resetSeen;   // the tool reset the chip at least once
};

struct GadgetBoards {
    GadgetBoard board[kMaxGadgetBoards];
    int count;
    bool fine;  // false once a board could not come back as it should
};

volatile sig_atomic_t tapAsked[kMaxGadgetBoards];
volatile sig_atomic_t endAsked;  // the signal that asks this program to end, or 0

}  // namespace

extern "C" {
static void ask_for_tap(int signalNumber) { tapAsked[signalNumber == SIGUSR1 ? 0 : 1] = 1; }
static void ask_to_end(int signalNumber) { endAsked = signalNumber; }
}

namespace {

// The gadgets must go whatever ends this program, so the signals that end
// it only ask for an end; the serving loop sees to it.
void catch_gadget_signals() {
    struct sigaction tap = {};
    tap.sa_handler = ask_for_tap;
    sigaction(SIGUSR1, &tap, nullptr);
    sigaction(SIGUSR2, &tap, nullptr);
    struct sigaction end = {};
    end.sa_handler = ask_to_end;
    sigaction(SIGTERM, &end, nullptr);
    sigaction(SIGHUP, &end, nullptr);
    sigaction(SIGINT, &end, nullptr);
}

// The board appears on the host as its bootloader or as its application.
bool plug(GadgetBoard *board, bool bootloader) {
    const VidPidStruct &row = bootloader ? knownBootloaders[0] : *board->app;
    UsbIdentity identity = {0, 0, row.name};
    if (!usb_ids_of(row, &identity.vendor, &identity.product) ||
        !gadget_plug(&board->gadget, identity)) {
        return false;
    }
    if (!bootloader) return true;
    board->port.fd = gadget_open_tty(&board->gadget);
    board->port.hungUp = false;
    board->port.lastLookMs = monotonic_ms();
    return board->port.fd >= 0;
}

// The cable out: the host's tty goes, and the gadget's is hung up.
bool unplug(GadgetBoard *board) {
    if (board->port.fd >= 0) close(board->port.fd);
    board->port.fd = -1;
    return gadget_unplug(&board->gadget);
}

// A reset: the board leaves the bus and enumerates anew.
void restart(GadgetBoards *boards, GadgetBoard *board, bool bootloader) {
    if (unplug(board) && plug(board, bootloader)) return;
    board->unplugged = true;
    boards->fine = false;
}

// One look at a board: a double tap asked for, the tool's bytes, and the
// reset or the unplug they bring. False when it has no port to look at.
bool tend(GadgetBoards *boards, int index) {
    GadgetBoard *board = &boards->board[index];
    if (tapAsked[index] != 0) {
        tapAsked[index] = 0;
        if (!board->unplugged) restart(boards, board, true);
    }
    if (board->port.fd < 0) return false;
    serve_once(&board->port);
    if (board->port.hungUp) {
        // --hang-up-after: the cable is pulled.
        board->unplugged = true;
        if (!unplug(board)) boards->fine = false;
    } else if (board->port.chip->resetRequested) {
        // The new application starts, as on a real board; one with none
        // comes back in its bootloader.
        board->port.chip->resetRequested = false;
        board->resetSeen = true;
        restart(boards, board, board->app == nullptr);
    }
    return true;
}

bool serve_gadgets_until_exit(void *context, pid_t child, int *status) {
    GadgetBoards *boards = static_cast<GadgetBoards *>(context);
    for (;;) {
        pid_t ended = waitpid(child, status, WNOHANG);
        if (ended == child) return true;
        if ((ended < 0 && errno != EINTR) || endAsked != 0) return false;
        bool looked = false;
        for (int i = 0; i < boards->count; ++i) looked = tend(boards, i) || looked;
        if (!looked) poll(nullptr, 0, kIdlePollMs);
    }
}

// Each board's gadget, plugged in one after the other, each enumerated
// before the next: cdc_acm gives a new device the lowest free ttyACM number,
// so the first board named is ttyACM0 (on usb1, dummy_hcd.0's bus), and the
// program takes the first port by name. Bound at once, the two would race
// through the kernel's hub work queue.
void plug_in_boards(const Options &options, SimulatedChip *const *chips, GadgetBoards *boards) {
    const char *names[kMaxGadgetBoards] = {options.board, options.secondBoard};
    const int count = options.secondBoard != nullptr ? 2 : 1;
    boards->count = count;
    boards->fine = true;
    for (int i = 0; i < count && boards->fine; ++i) {
        GadgetBoard *board = &boards->board[i];
        chip_power_on(chips[i], Dialect::kUsb);
        board->app = names[i] != nullptr ? board_row(names[i]) : nullptr;
        board->port = {-1, options.hangUpAfter, false, chips[i], monotonic_ms()};
        boards->fine = gadget_make(&board->gadget, i) && plug(board, board->app == nullptr) &&
                       endAsked == 0;
    }
}

void remove_boards(GadgetBoards *boards) {
    for (int i = 0; i < boards->count; ++i) {
        GadgetBoard *board = &boards->board[i];
        if (board->port.fd >= 0) close(board->port.fd);
        board->port.fd = -1;
        if (!gadget_remove(&board->gadget)) boards->fine = false;
        if (board->resetSeen) board->port.chip->resetRequested = true;
    }
}

int run_on_gadgets(const Options &options) {
    // 300 KiB each: too large for the stack.
    static SimulatedChip first, second;
    SimulatedChip *const chips[kMaxGadgetBoards] = {&first, &second};
    static GadgetBoards boards;
    catch_gadget_signals();
    plug_in_boards(options, chips, &boards);
    bool pluggedIn = boards.fine;
    int status = pluggedIn ? run_program(options, serve_gadgets_until_exit, &boards) : kOwnFailure;
    remove_boards(&boards);
    const int ended = endAsked;
    if (ended != 0) {
        (void)signal(ended, SIG_DFL);
        (void)raise(ended);
        return 128 + ended;
    }
    if (!pluggedIn) return kOwnFailure;
    const char *dumps[kMaxGadgetBoards] = {options.flashDump, options.secondFlashDump};
    const int count = boards.count;
    for (int i = 0; i < count && i < kMaxGadgetBoards; ++i) {
        if (dumps[i] != nullptr && !write_flash_dump(chips[i], dumps[i])) boards.fine = false;
        print_summary(chips[i]);
    }
    return boards.fine ? status : kOwnFailure;
}

// Two boards are two gadgets; the testbed and the serial link have one.
bool options_fit(const Options &options) {
    bool two = options.boardsGiven == 2 || options.flashDumpsGiven == 2;
    return (options.board == nullptr || board_row(options.board) != nullptr) &&
           (options.secondBoard == nullptr || board_row(options.secondBoard) != nullptr) &&
           options.boardsGiven <= 2 && options.flashDumpsGiven <= 2 &&
           (!two || (options.usbGadget && options.boardsGiven == 2)) &&
           !(options.usbGadget && options.serialLink != nullptr);
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    bool parsed = parse_options(argc, argv, &options);
    if (parsed && options.help) {
        print_usage(stdout);
        return 0;
    }
    if (!parsed || !options_fit(options)) {
        print_usage(stderr);
        return kUsageError;
    }
    if (options.usbGadget) return run_on_gadgets(options);
    // 300 KiB: too large for the stack.
    static SimulatedChip chip;
    chip_power_on(&chip, options.serialLink != nullptr ? Dialect::kUart : Dialect::kUsb);
    Port port = {-1, options.hangUpAfter, false, &chip, monotonic_ms()};
    UMockdevTestbed *testbed = nullptr;
    if (!open_bootloader_port(options, &testbed, &port.fd)) return kOwnFailure;
    int status = run_program(options, serve_testbed_port, &port);
    close_bootloader_port(options, testbed, port.fd);

    if (options.flashDump != nullptr && !write_flash_dump(&chip, options.flashDump)) {
        status = kOwnFailure;
    }
    print_summary(&chip);
    return status;
}
