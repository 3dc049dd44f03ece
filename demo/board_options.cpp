#include "board_options.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct MomentName {
    const char *name;
    Moment moment;
};

const MomentName kMoments[] = {
    {"writing", Moment::kWriting},
    {"awaiting-answer", Moment::kAwaitingAnswer},
};

bool parse_count(const char *text, long long *count) {
    char *end = nullptr;
    errno = 0;
    *count = strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && *count >= 0;
}

bool parse_moment(const char *text, Moment *moment) {
    for (const MomentName &row : kMoments) {
        if (strcmp(row.name, text) == 0) {
            *moment = row.moment;
            return true;
        }
    }
    return false;
}

// A board of the program's tables by name, none, or one of no known kind
// that shows the USB ID given as the tables write one.
bool parse_board(const char *text, VidPidStruct *board) {
    if (strcmp(text, "none") == 0) {
        *board = {text, nullptr};
        return true;
    }
    for (const VidPidStruct &row : knownAppBoards) {
        if (strcasecmp(row.name, text) == 0) {
            *board = row;
            return true;
        }
    }
    UsbId ignored = {};
    *board = {text, text};
    return usb_id_of_vidpid(text, &ignored);
}

// One option and its value; false when either is wrong.
bool take_option(const char *option, const char *value, Options *options, int *boardsGiven,
                 int *dumpsGiven) {
    if (strcmp(option, "--board") == 0) {
        return *boardsGiven < kMaxSimulatedBoards &&
               parse_board(value, &options->boards[(*boardsGiven)++]);
    }
    if (strcmp(option, "--flash-dump") == 0) {
        if (*dumpsGiven == kMaxSimulatedBoards) return false;
        options->flashDumps[(*dumpsGiven)++] = value;
        return true;
    }
    if (strcmp(option, "--serial-link") == 0) {
        if (options->mode != Mode::kTestbed) return false;
        options->mode = Mode::kSerialLink;
        options->serialLink = value;
        return true;
    }
    if (strcmp(option, "--hang-up-after") == 0) return parse_count(value, &options->hangUpAfter);
    if (strcmp(option, "--unplug-at") == 0) return parse_moment(value, &options->unplugAt);
    return false;
}

}  // namespace

void print_usage(FILE *out) {
    fputs("usage: simulated_board [--board NAME|none|VID_xxxx&PID_xxxx]\n"
          "                       [--serial-link PATH | --usb-gadget] [--flash-dump FILE]\n"
          "                       [--hang-up-after BYTES] [--unplug-at MOMENT] -- PROGRAM [ARG...]\n"
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
          "The board is unplugged after BYTES from the tool, or at a MOMENT of its dialogue:\n"
          "writing (half of the image's first write has come) or awaiting-answer (the tool\n"
          "has asked for a copy into flash and waits for the answer).\n"
          "boards:",
          out);
    for (const VidPidStruct &board : knownAppBoards) fprintf(out, " %s", board.name);
    fputs(", none, or any other USB ID\n", out);
}

bool parse_options(int argc, char **argv, Options *options) {
    *options = {};
    options->hangUpAfter = -1;
    int boardsGiven = 0, dumpsGiven = 0;
    bool parsed = false;
    for (int i = 1; i < argc && !parsed; ++i) {
        const char *option = argv[i];
        if (strcmp(option, "--") == 0) {
            options->program = argv + i + 1;
            if (i + 1 >= argc) return false;
            parsed = true;
        } else if (strcmp(option, "--help") == 0) {
            options->help = true;
            return true;
        } else if (strcmp(option, "--usb-gadget") == 0) {
            if (options->mode != Mode::kTestbed) return false;
            options->mode = Mode::kGadgets;
        } else if (i + 1 >= argc ||
                   !take_option(option, argv[++i], options, &boardsGiven, &dumpsGiven)) {
            return false;
        }
    }
    if (boardsGiven == 0) parse_board("Quarnel", &options->boards[0]);
    options->boardCount = boardsGiven == 2 ? 2 : 1;
    // A second board, or its flash, only where it can be plugged in.
    return parsed && dumpsGiven <= options->boardCount &&
           (options->boardCount == 1 || options->mode == Mode::kGadgets);
}
