#include "boards.h"

#include <cstdio>
#include <cstring>

#include "platform.h"

const VidPidStruct knownAppBoards[kAppBoardCount] = {
    {"Bravik", "VID_3C7E&PID_5101"},
    {"Quarnel", "VID_3C7E&PID_5102"},
    {"Dovrel", "VID_3C7E&PID_5103"},
    {"Harlun", "VID_3C7E&PID_5104"},
};

// All boards share one bootloader, so the bootloader table cannot tell which
// board answered: the flashing phase takes whichever comes first.
const VidPidStruct knownBootloaders[kBootloaderCount] = {
    {"Bootloader", "VID_2341&PID_004D"},
};

namespace {

// Properties are read into 256 bytes; one more byte that the read never
// touches keeps a 256-byte property without a terminator searchable.
constexpr size_t kPropertyCapacity = 256;

// Without a ')' the port name runs on; the 19-character cap of portName cuts it.
constexpr int kPortNameRunOn = 20;

bool read_property(PortDeviceSet *set, int index, PortProperty property,
                   char (&buffer)[kPropertyCapacity + 1]) {
    memset(buffer, 0, sizeof buffer);
    return platform_read_port_property(set, index, property, buffer, kPropertyCapacity);
}

// Returns false once maxBoards entries are written.
bool record_matches(const char *hardwareID, const char *portName, const VidPidStruct *knownBoards,
                    int knownBoardSize, DetectedBoard *foundBoards, int maxBoards, int *found) {
    for (int row = 0; row < knownBoardSize; ++row) {
        // Only the first entry of the hardware-ID list takes part: the search
        // stops at its terminator, and that entry is the most specific one.
        if (strstr(hardwareID, knownBoards[row].vidpid) == nullptr) continue;
        DetectedBoard *entry = &foundBoards[*found];
        memset(entry, 0, sizeof *entry);
        snprintf(entry->portName, sizeof entry->portName, "%s", portName);
        snprintf(entry->boardName, sizeof entry->boardName, "%s", knownBoards[row].name);
        if (++*found == maxBoards) return false;
    }
    return true;
}

}  // namespace

bool usb_id_of_vidpid(const char *vidpid, UsbId *id) {
    static const char kShape[] = "VID_####&PID_####";
    unsigned numbers[2] = {0, 0};
    for (size_t i = 0; i < sizeof kShape; ++i) {
        const char c = vidpid[i];
        if (kShape[i] != '#') {
            if (c != kShape[i]) return false;
            continue;
        }
        const bool digit = c >= '0' && c <= '9';
        if (!digit && !(c >= 'A' && c <= 'F')) return false;
        unsigned &number = numbers[i < 8 ? 0 : 1];
        number = number * 16 + static_cast<unsigned>(digit ? c - '0' : c - 'A' + 10);
    }
    *id = {numbers[0], numbers[1]};
    return true;
}

int get_index(const char *string, char c) {
    const char *at = strchr(string, c);
    // strchr finds the terminator itself when c is '\0'; that is not an occurrence.
    if (at == nullptr || c == '\0') return -1;
    return static_cast<int>(at - string);
}

bool port_name_from_friendly_name(const char *friendlyName, char *portName, size_t size) {
    const char *comStart = strstr(friendlyName, kPortNameMarker);
    if (comStart == nullptr) return false;
    int endComPosition = get_index(comStart, ')');
    if (endComPosition == -1) endComPosition = kPortNameRunOn;
    snprintf(portName, size, "%.*s", endComPosition, comStart);
    return true;
}

int detectBoards(DetectedBoard *foundBoards, int maxBoards, const VidPidStruct *knownBoards,
                 int knownBoardSize) {
    // Nothing fits in an array of no entries; writing first and counting after
    // would overrun it.
    if (maxBoards <= 0) return 0;
    PortDeviceSet *set = platform_open_port_devices();
    if (set == nullptr) return 0;

    int found = 0;
    bool room = true;
    for (int i = 0; room && platform_port_device_exists(set, i); ++i) {
        char hardwareID[kPropertyCapacity + 1];
        char friendlyName[kPropertyCapacity + 1];
        if (!read_property(set, i, PORT_HARDWARE_ID, hardwareID)) continue;
        if (!read_property(set, i, PORT_FRIENDLY_NAME, friendlyName)) continue;
        DetectedBoard port = {};
        if (!port_name_from_friendly_name(friendlyName, port.portName, sizeof port.portName)) {
            continue;
        }
        room = record_matches(hardwareID, port.portName, knownBoards, knownBoardSize, foundBoards,
                              maxBoards, &found);
    }
    platform_close_port_devices(set);
    return found;
}
