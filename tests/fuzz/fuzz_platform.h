// A platform for the fuzz targets: detection sees the devices a target puts
// in fuzzDevices; every other operation does nothing.
#pragma once

#include <string>
#include <vector>

struct FuzzDevice {
    std::string hardwareId;    // raw property bytes, any content
    std::string friendlyName;  // raw property bytes, any content
};

extern std::vector<FuzzDevice> fuzzDevices;

// A broken property is a finding like a crash: libFuzzer saves the input.
void fuzz_check(bool holds, const char *what);
