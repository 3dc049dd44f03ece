// port_name_from_friendly_name over any friendly name and any buffer size.
// Input: one byte for the buffer size (1..32), then the name's text.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "boards.h"
#include "fuzz_platform.h"
#include "platform.h"

namespace {

// What the port name must be, worked out on std::string.
std::string expected_port_name(const std::string &name, size_t size) {
    size_t start = name.find(kPortNameMarker);
    size_t close = name.find(')', start);
    size_t length = close == std::string::npos ? 20 : close - start;
    return name.substr(start, length).substr(0, size - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    size_t bufferSize = 1 + data[0] % 32;
    // The name ends at its first terminator, as a device property would.
    std::string name(reinterpret_cast<const char *>(data + 1), size - 1);
    name = name.substr(0, name.find('\0'));
    // Exactly bufferSize bytes on the heap, so a write past them is caught.
    std::vector<char> portName(bufferSize, 'Z');
    bool found = port_name_from_friendly_name(name.c_str(), portName.data(), bufferSize);
    fuzz_check(found == (name.find(kPortNameMarker) != std::string::npos), "found iff marker");
    if (!found) return 0;
    fuzz_check(memchr(portName.data(), '\0', bufferSize) != nullptr, "port name terminated");
    fuzz_check(portName.data() == expected_port_name(name, bufferSize), "port name text");
    return 0;
}
