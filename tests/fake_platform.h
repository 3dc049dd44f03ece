// A scripted platform for unit tests: each detection sees its own list of
// devices, and pauses, delays and tool launches are recorded instead of done.
#pragma once

#include <string>
#include <vector>

struct FakeDevice {
    std::string hardwareId;    // raw property bytes, terminators included
    std::string friendlyName;  // raw property bytes, terminator included
    bool hardwareIdFails = false;
    bool friendlyNameFails = false;
};

// The hardware-ID list of a USB device the way Windows stores it.
std::string usb_hardware_id(const char *vidpid, const char *revision = "0100");
// A friendly name with its terminator.
std::string friendly(const char *name);

struct FakePlatform {
    std::string programPath = "C:\\Tools\\Up\\UpdateProgramManually.exe";
    // One entry per detection, in call order; detections past the end see no device.
    std::vector<std::vector<FakeDevice>> detections;
    bool deviceSetInvalid = false;
    // Error numbers for successive launches; 0 means the tool started.
    std::vector<unsigned long> launchErrors;
    // The program's folder as listed: these names, then the end, or with
    // listingErrno set, a listing that breaks off there with that error.
    std::vector<std::string> folderEntries = {".", ".."};
    int listingErrno = 0;

    // What happened, in order: "pause", "sleep 1000", "detect", "launch <line>".
    std::vector<std::string> events;
    std::vector<std::vector<std::string>> launchArguments;
    int detectionsDone = 0;
    int openDeviceSets = 0;
};

extern FakePlatform fake;

// Fresh script for each test.
void reset_fake_platform();
