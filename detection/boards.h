// Known boards and bootloaders, and the detection that finds them behind the
// present serial ports.
#pragma once

#include <cstddef>

struct VidPidStruct {
    const char *name;    // display name and stem of image file names; at most 19 characters
    const char *vidpid;  // "VID_xxxx&PID_xxxx", upper-case hex, searched in the hardware ID
};

struct DetectedBoard {
    char portName[20];
    char boardName[50];
};

// A USB device's vendor and product IDs.
struct UsbId {
    unsigned vendor, product;
};

// The IDs of a table row's vidpid, "VID_3C7E&PID_5102": exactly that shape,
// upper-case hex, since detection matches the text as it stands; false for
// any other.
bool usb_id_of_vidpid(const char *vidpid, UsbId *id);

// Entries of the result array that both detections fill.
constexpr int kMaxBoards = 10;

constexpr int kAppBoardCount = 4;
constexpr int kBootloaderCount = 1;
extern const VidPidStruct knownAppBoards[kAppBoardCount];
extern const VidPidStruct knownBootloaders[kBootloaderCount];

// Writes one entry per (device, matching row) pair into foundBoards, in the
// platform's device order and then table order, and returns how many were
// written (0 to maxBoards). Entries past the count are left as they were.
int detectBoards(DetectedBoard *foundBoards, int maxBoards, const VidPidStruct *knownBoards,
                 int knownBoardSize);

// Position of the first c in string, or -1.
int get_index(const char *string, char c);

// The port name that starts at the first marker ("COM" / "tty") of a
// friendly name: up to the first ')' after it, or at most 19 characters when
// there is none. False when the name holds no marker.
bool port_name_from_friendly_name(const char *friendlyName, char *portName, size_t size);
