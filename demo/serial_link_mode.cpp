// No testbed: the bootloader answers on a plain pseudo-terminal whose slave
// is linked at a path, as the chip does on its UART (auto-baud, XMODEM;
// uart_dialect.h), and PROGRAM runs as it is. A link in a Wine prefix's
// dosdevices makes it a COM port. There is no USB port to make here.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board_modes.h"
#include "board_program.h"
#include "bootloader_port.h"
#include "uart_dialect.h"

namespace {

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

void serve_port(void *port) { serve_once(static_cast<Port *>(port)); }

}  // namespace

int run_on_serial_link(const Options &options) {
    // 300 KiB: too large for the stack.
    static SimulatedChip chip;
    UartDialect uart = {};
    chip_power_on(&chip);
    uart_start(&uart, &chip);
    Port port = port_for(&chip, &uart, options.hangUpAfter, options.unplugAt);
    port.fd = open_serial_link(options.serialLink);
    if (port.fd < 0) return kOwnFailure;
    int status = run_program(options.program, serve_port, &port);
    // No link to a pseudo-terminal that is gone, whatever ended the run.
    unlink(options.serialLink);
    close(port.fd);
    die_if_asked();
    if (options.flashDumps[0] != nullptr && !write_flash_dump(&chip, options.flashDumps[0])) {
        status = kOwnFailure;
    }
    print_summary(&chip);
    return status;
}
