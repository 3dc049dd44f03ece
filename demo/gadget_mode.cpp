// No testbed: each board is a USB gadget of the kernel's (usb_gadget.h) on
// dummy_hcd, which the host side sees as on a cable, and PROGRAM runs as it
// is. SIGUSR1 is the double tap on the first board's reset button (SIGUSR2
// the second's): the board leaves the bus and comes back as its bootloader,
// whose tty the chip answers on; the tool's reset brings the application
// back.
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "board_modes.h"
#include "board_program.h"
#include "bootloader_port.h"
#include "usb_gadget.h"

namespace {

constexpr int kIdlePollMs = 20;

// A board on a USB gadget shows itself either as its application or as its
// bootloader, whose port (the gadget's tty) the chip answers on.
struct GadgetBoard {
    VidPidStruct app;  // vidpid null: none, it stays in its bootloader
    UsbGadget gadget;
    Port port;        // fd -1 while it runs its application or is unplugged
    bool unplugged;   // for good: it is never plugged in again
    bool resetSeen;   // the tool reset the chip at least once
};

struct GadgetBoards {
    GadgetBoard board[kMaxSimulatedBoards];
    int count;
    bool fine;  // false once a board could not come back as it should
};

volatile sig_atomic_t tapAsked[kMaxSimulatedBoards];

}  // namespace

extern "C" {
static void ask_for_tap(int signalNumber) { tapAsked[signalNumber == SIGUSR1 ? 0 : 1] = 1; }
}

namespace {

void catch_taps() {
    struct sigaction tap = {};
    tap.sa_handler = ask_for_tap;
    sigaction(SIGUSR1, &tap, nullptr);
    sigaction(SIGUSR2, &tap, nullptr);
}

// The board appears on the host as its bootloader or as its application.
bool plug(GadgetBoard *board, bool bootloader) {
    if (!gadget_plug(&board->gadget, bootloader ? knownBootloaders[0] : board->app)) return false;
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
        // --hang-up-after or --unplug-at: the cable is pulled.
        board->unplugged = true;
        if (!unplug(board)) boards->fine = false;
    } else if (board->port.chip->resetRequested) {
        // The new application starts, as on a real board; one with none
        // comes back in its bootloader.
        board->port.chip->resetRequested = false;
        board->resetSeen = true;
        restart(boards, board, board->app.vidpid == nullptr);
    }
    return true;
}

void serve_boards(void *context) {
    GadgetBoards *boards = static_cast<GadgetBoards *>(context);
    bool looked = false;
    for (int i = 0; i < boards->count; ++i) looked = tend(boards, i) || looked;
    if (!looked) poll(nullptr, 0, kIdlePollMs);
}

// Each board's gadget, plugged in one after the other, each enumerated
// before the next: cdc_acm gives a new device the lowest free ttyACM number,
// so the first board named is ttyACM0 (on usb1, dummy_hcd.0's bus), and the
// program takes the first port by name. Bound at once, the two would race
// through the kernel's hub work queue.
void plug_in_boards(const Options &options, SimulatedChip *chips, GadgetBoards *boards) {
    boards->count = options.boardCount < kMaxSimulatedBoards ? options.boardCount
                                                             : kMaxSimulatedBoards;
    boards->fine = true;
    for (int i = 0; i < boards->count && boards->fine; ++i) {
        GadgetBoard *board = &boards->board[i];
        chip_power_on(&chips[i]);
        board->app = options.boards[i];
        board->port = port_for(&chips[i], nullptr, options.hangUpAfter, options.unplugAt);
        boards->fine = gadget_make(&board->gadget, i, &endAsked) &&
                       plug(board, board->app.vidpid == nullptr) && endAsked == 0;
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

}  // namespace

int run_on_gadgets(const Options &options) {
    // 300 KiB each: too large for the stack.
    static SimulatedChip chips[kMaxSimulatedBoards];
    static GadgetBoards boards;
    catch_taps();
    plug_in_boards(options, chips, &boards);
    const bool pluggedIn = boards.fine;
    int status = pluggedIn ? run_program(options.program, serve_boards, &boards) : kOwnFailure;
    remove_boards(&boards);
    die_if_asked();
    if (!pluggedIn) return kOwnFailure;
    for (int i = 0; i < boards.count; ++i) {
        const char *dump = options.flashDumps[i];
        if (dump != nullptr && !write_flash_dump(&chips[i], dump)) boards.fine = false;
        print_summary(&chips[i]);
    }
    return boards.fine ? status : kOwnFailure;
}
