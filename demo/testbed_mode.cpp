// A umockdev testbed holds two USB serial ports: the application board as
// ttyACM0 and its bootloader as ttyACM1, with the USB IDs of the program's
// own tables. PROGRAM runs inside the testbed (umockdev's preload library
// and the testbed's folder in its environment), and the bootloader port
// answers the flashing tool as the board's chip would.
#include <fcntl.h>
#include <umockdev.h>

#include <cstdio>
#include <cstdlib>

#include "board_modes.h"
#include "board_program.h"
#include "bootloader_port.h"

namespace {

constexpr char kBoardNode[] = "/dev/ttyACM0";
constexpr char kBootloaderNode[] = "/dev/ttyACM1";

// A USB CDC-ACM port as sysfs shows one: the tty, its USB interface (the
// tty's "device" link), the USB device with the IDs.
void port_record(int number, UsbId id, const char *name, char *record, size_t size) {
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
             usb, usb, number, number, number, number, usb, usb, usb, usb, id.vendor, id.product,
             name);
}

bool add_port(UMockdevTestbed *testbed, int number, const VidPidStruct &row) {
    UsbId id = {};
    if (!usb_id_of_vidpid(row.vidpid, &id)) return false;
    char record[2048];
    port_record(number, id, row.name, record, sizeof record);
    GError *error = nullptr;
    if (umockdev_testbed_add_from_string(testbed, record, &error)) return true;
    fprintf(stderr, "simulated_board: cannot add ttyACM%d: %s\n", number,
            error != nullptr ? error->message : "?");
    if (error != nullptr) g_error_free(error);
    return false;
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

// The testbed keeps the master sides open without close-on-exec; the
// program and the tool must not inherit them, or a port would never hang up.
bool keep_to_this_process(int fd) { return fd >= 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

// The testbed with its ports, and the bootloader port's master side.
UMockdevTestbed *build_testbed(const VidPidStruct &board, int *bootloaderFd) {
    UMockdevTestbed *testbed = umockdev_testbed_new();
    const bool hasBoard = board.vidpid != nullptr;
    bool built = (!hasBoard || add_port(testbed, 0, board)) &&
                 add_port(testbed, 1, knownBootloaders[0]) && enter_testbed(testbed);
    *bootloaderFd = built ? umockdev_testbed_get_dev_fd(testbed, kBootloaderNode) : -1;
    if (built && hasBoard) built = keep_to_this_process(umockdev_testbed_get_dev_fd(testbed, kBoardNode));
    if (!built || !keep_to_this_process(*bootloaderFd) ||
        fcntl(*bootloaderFd, F_SETFL, fcntl(*bootloaderFd, F_GETFL) | O_NONBLOCK) != 0) {
        fputs("simulated_board: cannot set up the simulated ports\n", stderr);
        g_object_unref(testbed);
        return nullptr;
    }
    return testbed;
}

void serve_port(void *port) { serve_once(static_cast<Port *>(port)); }

}  // namespace

int run_in_testbed(const Options &options) {
    // 300 KiB: too large for the stack.
    static SimulatedChip chip;
    chip_power_on(&chip);
    Port port = port_for(&chip, nullptr, options.hangUpAfter, options.unplugAt);
    UMockdevTestbed *testbed = build_testbed(options.boards[0], &port.fd);
    if (testbed == nullptr) return kOwnFailure;
    int status = run_program(options.program, serve_port, &port);
    // Only now: the testbed serves the preload's requests while the program runs.
    g_object_unref(testbed);
    die_if_asked();
    if (options.flashDumps[0] != nullptr && !write_flash_dump(&chip, options.flashDumps[0])) {
        status = kOwnFailure;
    }
    print_summary(&chip);
    return status;
}
