// simulated_board's command line: which board, in which mode, and what to run.
#pragma once

#include <cstdio>

#include "boards.h"
#include "simulated_chip.h"

// Two boards are two gadgets, on dummy_hcd's two controllers.
constexpr int kMaxSimulatedBoards = 2;

enum class Mode : uint8_t {
    kTestbed,     // umockdev's simulated sysfs and ports (testbed_mode.cpp)
    kSerialLink,  // the bootloader on a pseudo-terminal, as on a UART (serial_link_mode.cpp)
    kGadgets,     // the kernel's own USB stack (gadget_mode.cpp)
};

struct Options {
    Mode mode;
    const char *serialLink;  // --serial-link PATH
    // Each board's application; an empty row (vidpid null) for --board none,
    // a board that sits in its bootloader.
    VidPidStruct boards[kMaxSimulatedBoards];
    const char *flashDumps[kMaxSimulatedBoards];  // null: none
    int boardCount;
    long long hangUpAfter;  // -1: never
    Moment unplugAt;
    char **program;  // PROGRAM [ARG...], ended by a null
    bool help;
};

// Exit statuses of simulated_board's own.
constexpr int kUsageError = 2;
constexpr int kOwnFailure = 125;
constexpr int kCannotStart = 127;

// False for a command line that does not fit the usage.
bool parse_options(int argc, char **argv, Options *options);

void print_usage(FILE *out);
