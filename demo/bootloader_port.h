// The bootloader's port as every mode serves it: the tool's bytes go to the
// simulated chip, through its UART's dialect (uart_dialect.h) on a serial
// line, its answers come back, and the cable can be pulled at a byte count
// or at a moment of the dialogue.
#pragma once

#include "simulated_chip.h"

struct UartDialect;

struct Port {
    int fd;  // the board's side: a pseudo-terminal's master, or the gadget's tty
    long long goesDeadAfter;  // --hang-up-after; -1: never
    Moment unplugAt;          // --unplug-at
    bool hungUp;              // the cable is out: nothing is served any more
    SimulatedChip *chip;
    UartDialect *uart;     // in front of chip on a serial line; null over USB
    unsigned long long bytesReceived;  // from the tool, over every plug-in
    long long lastLookMs;  // when serve_once last looked at the port
};

long long monotonic_ms();

// A port for chip (behind uart on a serial line, null over USB) whose board
// side is not open yet (fd -1) and which has heard nothing so far.
Port port_for(SimulatedChip *chip, UartDialect *uart, long long goesDeadAfter, Moment unplugAt);

// One look at the port: serves what the tool sent, or waits a little (some
// 20 ms). When the cable is to be pulled, the port hangs up (hungUp).
void serve_once(Port *port);

// The port's last reference goes: a pseudo-terminal's slave sees a hang-up
// at once, as the kernel hangs up the tty of a USB device that goes.
void hang_up(Port *port);

// Once PROGRAM has ended: the whole flash into file, and one summary line on
// standard error.
bool write_flash_dump(const SimulatedChip *chip, const char *file);
void print_summary(const SimulatedChip *chip);
