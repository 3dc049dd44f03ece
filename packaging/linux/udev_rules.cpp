// Writes the udev rules file of the Linux release from the program's own
// tables of boards and bootloaders, so that the rules can never name other
// devices than the program looks for.
//
//   upm_udev_rules OUTPUT
//
// Each known board and bootloader gets one rule on its tty: the user at the
// seat may open it at once (tag "uaccess"; the group "dialout" that owns
// serial ports is not given to new users), and ModemManager leaves it alone
// (ID_MM_DEVICE_IGNORE). The bootloader's CDC ACM port announces the AT
// command protocol, which is what ModemManager probes, and a probe in the
// middle of an upload takes the port from the flashing tool.
#include <cstdio>
#include <cstring>

#include "boards.h"

namespace {

// The file's own name goes into the install lines.
void write_header(FILE *out, const char *fileName) {
    fputs("# udev rules for UpdateProgramManually: the user at the computer may open the\n"
          "# serial ports of the boards it knows and of their bootloader, without being in\n"
          "# the group \"dialout\", and ModemManager does not take them for modems. Made\n"
          "# from the program's own table of USB IDs. To install (README.txt):\n"
          "#\n"
          "#   sudo cp ",
          out);
    fputs(fileName, out);
    fputs(" /etc/udev/rules.d/\n"
          "#   sudo udevadm control --reload\n"
          "#\n"
          "# then unplug the board and plug it in again. Keep a number below 71: the\n"
          "# tag must be there before 71-seat.rules and 73-seat-late.rules, which turn\n"
          "# it into the access, and the property before ModemManager's 77-mm-* rules.\n",
          out);
}

bool write_rule(FILE *out, const VidPidStruct &row) {
    UsbId id = {};
    if (!usb_id_of_vidpid(row.vidpid, &id)) {
        fprintf(stderr, "upm_udev_rules: the table row of %s has no VID_xxxx&PID_xxxx: ", row.name);
        fputs(row.vidpid, stderr);
        fputc('\n', stderr);
        return false;
    }
    fprintf(out,
            // Four lower-case hex digits, as sysfs shows idVendor and idProduct.
            "\n# %s\nSUBSYSTEM==\"tty\", ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", "
            "ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"uaccess\"\n",
            row.name, id.vendor, id.product);
    return true;
}

bool write_rules(FILE *out, const char *fileName) {
    write_header(out, fileName);
    for (const VidPidStruct &row : knownAppBoards) {
        if (!write_rule(out, row)) return false;
    }
    for (const VidPidStruct &row : knownBootloaders) {
        if (!write_rule(out, row)) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: upm_udev_rules OUTPUT\n", stderr);
        return 2;
    }
    FILE *out = fopen(argv[1], "wb");
    if (out == nullptr) {
        perror(argv[1]);
        return 1;
    }
    const char *slash = strrchr(argv[1], '/');
    const bool written = write_rules(out, slash != nullptr ? slash + 1 : argv[1]);
    // A failed close loses buffered rules: the file would be cut short.
    if (fclose(out) != 0 || !written) {
        if (written) perror(argv[1]);
        (void)remove(argv[1]);
        return 1;
    }
    return 0;
}
