// A USB serial device made by the kernel's own gadget framework: a configfs
// gadget with one ACM function, bound to one of dummy_hcd's device
// controllers (dummy_udc.N), whose host controller (dummy_hcd.N) the same
// kernel enumerates as it would a board on a cable: cdc_acm makes a ttyACM
// for it, with the real sysfs topology above. Unbinding the controller is an
// unplug, binding it again a new enumeration.
//
// Needs root, configfs at /sys/kernel/config and the modules dummy_hcd,
// libcomposite, usb_f_acm and cdc_acm loaded (scripts/run-in-vm.sh's guest).
// Failures are told on standard error.
#pragma once

#include <csignal>
#include <cstddef>

#include "boards.h"

constexpr size_t kGadgetPathCapacity = 128;
constexpr size_t kTtyNameCapacity = 32;

struct UsbGadget {
    int controller;                    // dummy_udc.N / dummy_hcd.N
    char folder[kGadgetPathCapacity];  // the gadget's configfs folder; "" before gadget_make
    char deviceTty[kTtyNameCapacity];  // the device side's tty, /dev/ttyGS<n>
    char hostTty[kTtyNameCapacity];    // the host's tty for it (ttyACM<n>); "" while unplugged
    // Non-zero gives up gadget_plug's and gadget_unplug's waits for the host
    // (up to 20 s each): the end is asked for, and only the removal, which
    // still lets the host drop the tty, is to come.
    const volatile sig_atomic_t *giveUp;
};

// The gadget's configfs folders with one ACM function, not yet plugged in.
// A gadget left by an earlier run under the same name is removed first.
// On failure what was made stays for gadget_remove.
bool gadget_make(UsbGadget *gadget, int controller, const volatile sig_atomic_t *giveUp);

// Gives the gadget the USB ID of a table row and its name as the product,
// binds it to its controller and waits until the host's tty for it exists
// (hostTty), found by the program's own detection.
bool gadget_plug(UsbGadget *gadget, const VidPidStruct &identity);

// Unbinds the gadget and waits until the host's tty for it is gone.
bool gadget_unplug(UsbGadget *gadget);

// The device side's tty, raw and non-blocking; -1 on failure. Unplugging
// hangs it up: open it again after each gadget_plug.
int gadget_open_tty(const UsbGadget *gadget);

// Unplugs the gadget and removes whatever of its folders exist; safe on a
// gadget made in part or not at all. False when the folder stays.
bool gadget_remove(UsbGadget *gadget);
