// simulated_board's three ways of showing its boards to PROGRAM, each in a
// file of its own. Each runs PROGRAM beside its boards (board_program.h),
// removes them whatever ended it, dies of a signal that asked it to end,
// and otherwise returns PROGRAM's exit status or kOwnFailure.
#pragma once

#include "board_options.h"

// testbed_mode.cpp: a umockdev testbed with the board as ttyACM0 and its
// bootloader as ttyACM1 (testbed_mode_absent.cpp where umockdev is missing).
int run_in_testbed(const Options &options);

// serial_link_mode.cpp: the bootloader on a pseudo-terminal linked at a path,
// speaking as on its UART.
int run_on_serial_link(const Options &options);

// gadget_mode.cpp: the boards as USB gadgets on dummy_hcd (usb_gadget.h).
int run_on_gadgets(const Options &options);
