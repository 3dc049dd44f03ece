#include "fuzz_platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

std::vector<FuzzDevice> fuzzDevices;

const char kFolderSeparator = '\\';
const char kPortNameMarker[] = "COM";
const char kFlashToolFileName[] = "bossac.exe";

struct PortDeviceSet {
    int unused;
};

namespace {
PortDeviceSet theSet;
}

void platform_program_path(char *buffer, size_t size) { snprintf(buffer, size, "%s", "C:\\x.exe"); }

PortDeviceSet *platform_open_port_devices() { return &theSet; }

bool platform_port_device_exists(PortDeviceSet *, int index) {
    return index >= 0 && static_cast<size_t>(index) < fuzzDevices.size();
}

// The same contract as the real platforms: the bytes exactly as the device
// holds them, or a failure when they do not fit; nothing past them is written.
bool platform_read_port_property(PortDeviceSet *, int index, PortProperty property, char *buffer,
                                 size_t size) {
    const FuzzDevice &device = fuzzDevices[static_cast<size_t>(index)];
    const std::string &bytes =
        property == PORT_HARDWARE_ID ? device.hardwareId : device.friendlyName;
    if (bytes.size() > size) return false;
    memcpy(buffer, bytes.data(), bytes.size());
    return true;
}

void platform_close_port_devices(PortDeviceSet *) {}

FolderListing *platform_open_folder(const char *) {
    errno = ENOENT;
    return nullptr;
}
const char *platform_next_folder_entry(FolderListing *) { return nullptr; }
void platform_close_folder(FolderListing *) {}
bool platform_is_regular_file(const char *) { return false; }
void platform_pause() {}
void platform_sleep_ms(unsigned) {}
bool platform_run_tool(const ToolLaunch *, unsigned long *errorNumber) {
    *errorNumber = ENOENT;
    return false;
}

void fuzz_check(bool holds, const char *what) {
    if (holds) return;
    fprintf(stderr, "property broken: %s\n", what);
    abort();
}
