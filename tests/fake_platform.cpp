#include "fake_platform.h"

#include <cerrno>
#include <cstring>

#include "platform.h"

FakePlatform fake;

const char kFolderSeparator = '\\';
const char kPortNameMarker[] = "COM";
const char kFlashToolFileName[] = "bossac.exe";

std::string usb_hardware_id(const char *vidpid, const char *revision) {
    std::string id = std::string("USB\\") + vidpid;
    return id + "&REV_" + revision + '\0' + id + '\0' + '\0';
}

std::string friendly(const char *name) { return std::string(name) + '\0'; }

void reset_fake_platform() { fake = FakePlatform(); }

struct PortDeviceSet {
    const std::vector<FakeDevice> *devices;
};

void platform_program_path(char *buffer, size_t size) {
    snprintf(buffer, size, "%s", fake.programPath.c_str());
}

PortDeviceSet *platform_open_port_devices() {
    fake.events.push_back("detect");
    static const std::vector<FakeDevice> none;
    int call = fake.detectionsDone++;
    if (fake.deviceSetInvalid) return nullptr;
    ++fake.openDeviceSets;
    size_t index = static_cast<size_t>(call);
    return new PortDeviceSet{index < fake.detections.size() ? &fake.detections[index] : &none};
}

bool platform_port_device_exists(PortDeviceSet *set, int index) {
    return index >= 0 && static_cast<size_t>(index) < set->devices->size();
}

bool platform_read_port_property(PortDeviceSet *set, int index, PortProperty property,
                                 char *buffer, size_t size) {
    const FakeDevice &device = (*set->devices)[static_cast<size_t>(index)];
    bool hardware = property == PORT_HARDWARE_ID;
    if (hardware ? device.hardwareIdFails : device.friendlyNameFails) return false;
    const std::string &bytes = hardware ? device.hardwareId : device.friendlyName;
    if (bytes.size() > size) return false;  // too long for the caller's buffer
    memcpy(buffer, bytes.data(), bytes.size());
    return true;
}

void platform_close_port_devices(PortDeviceSet *set) {
    --fake.openDeviceSets;
    delete set;
}

// No entry is a file here: lookup tests run against real folders with the
// real platform file.
struct FolderListing {
    size_t next;
};

FolderListing *platform_open_folder(const char *) {
    static FolderListing listing;
    listing.next = 0;
    return &listing;
}
const char *platform_next_folder_entry(FolderListing *listing) {
    errno = 0;
    if (listing->next < fake.folderEntries.size()) return fake.folderEntries[listing->next++].c_str();
    errno = fake.listingErrno;
    return nullptr;
}
void platform_close_folder(FolderListing *) {}
bool platform_is_regular_file(const char *) { return false; }

void platform_pause() { fake.events.push_back("pause"); }

void platform_sleep_ms(unsigned milliseconds) {
    fake.events.push_back("sleep " + std::to_string(milliseconds));
}

bool platform_run_tool(const ToolLaunch *launch, unsigned long *errorNumber) {
    fake.events.push_back(std::string("launch ") + launch->commandLine);
    fake.launchArguments.push_back(
        {launch->toolPath, launch->portName, launch->imagePath});
    size_t attempt = fake.launchArguments.size() - 1;
    unsigned long error = attempt < fake.launchErrors.size() ? fake.launchErrors[attempt] : 0;
    if (error == 0) return true;
    *errorNumber = error;
    return false;
}
