// Built in testbed_mode.cpp's place where libumockdev is missing: the serial
// link and the gadgets need none.
#include <cstdio>

#include "board_modes.h"

int run_in_testbed(const Options & /*options*/) {
    fputs("simulated_board: built without umockdev, so no testbed: use --serial-link or "
          "--usb-gadget (scripts/install-test-deps.sh demo installs umockdev)\n",
          stderr);
    return kOwnFailure;
}
