// simulated_board: runs a program beside a simulated board, with no hardware.
//
//   simulated_board [--board NAME|none|VID_xxxx&PID_xxxx] [--serial-link PATH | --usb-gadget]
//                   [--flash-dump FILE] [--hang-up-after BYTES] [--unplug-at MOMENT]
//                   -- PROGRAM [ARG...]
//   simulated_board --help
//
// The board NAME (default Quarnel) has the USB ID of the program's own
// tables; none is a board that sits in its bootloader; VID_xxxx&PID_xxxx a
// board of no known kind. Its bootloader answers the flashing tool as the
// board's chip would (simulated_chip.h), so the real tool can identify,
// erase, write, verify and reset it. Three modes, a file each:
//
//   (default)             a umockdev testbed with the board as ttyACM0 and its
//                         bootloader as ttyACM1 (testbed_mode.cpp)
//   --serial-link PATH    the bootloader on a pseudo-terminal linked at PATH,
//                         speaking as on its UART (serial_link_mode.cpp)
//   --usb-gadget          the boards as USB gadgets of the real kernel, tapped
//                         by SIGUSR1 and SIGUSR2 (gadget_mode.cpp); --board
//                         and --flash-dump twice: a second board
//
//   --flash-dump FILE      once PROGRAM has ended, the whole flash into FILE
//   --hang-up-after BYTES  the board is unplugged after that many bytes from
//                          the tool: its port hangs up there and then
//   --unplug-at MOMENT     the same at a moment of the tool's dialogue,
//                          writing or awaiting-answer (simulated_chip.h), with
//                          a line on standard error that says where
//
// PROGRAM runs in a process group of its own, ended with the boards
// (board_program.h). Exit status: PROGRAM's (128 + the signal when it was
// killed); 127 when it cannot be started; 125 when this program's own work
// fails; 2 for bad usage. SIGTERM, SIGINT or SIGHUP end it with that signal.
// One summary line per board goes to standard error when PROGRAM has ended.
#include "board_modes.h"
#include "board_program.h"

int main(int argc, char **argv) {
    Options options = {};
    const bool parsed = parse_options(argc, argv, &options);
    if (parsed && options.help) {
        print_usage(stdout);
        return 0;
    }
    if (!parsed) {
        print_usage(stderr);
        return kUsageError;
    }
    catch_end_signals();
    switch (options.mode) {
        case Mode::kSerialLink: return run_on_serial_link(options);
        case Mode::kGadgets: return run_on_gadgets(options);
        case Mode::kTestbed: break;
    }
    return run_in_testbed(options);
}
