// detectBoards over devices whose hardware-ID and friendly-name properties
// hold any bytes, 0 to 319 of them: terminators anywhere or nowhere,
// including exactly 256 bytes with none.
// Input: one byte for maxBoards (-1..11); then per device a two-byte length
// and the hardware-ID bytes, a two-byte length and the friendly-name bytes.
#include <cstdint>
#include <cstring>
#include <string>

#include "boards.h"
#include "fuzz_platform.h"
#include "platform.h"

namespace {

constexpr int kArraySize = 16;
constexpr int kMaxDevices = 16;
constexpr size_t kPropertySize = 256;

struct Reader {
    const uint8_t *data;
    size_t left;
};

std::string take_bytes(Reader *in, size_t count) {
    if (count > in->left) count = in->left;
    std::string bytes(reinterpret_cast<const char *>(in->data), count);
    in->data += count;
    in->left -= count;
    return bytes;
}

size_t take_length(Reader *in) {
    std::string two = take_bytes(in, 2);
    size_t value = 0;
    for (unsigned char c : two) value = value * 256 + c;
    return value % 320;
}

// The text a C string search sees in a property buffer of 256 bytes plus one
// zero byte.
std::string as_text(const std::string &bytes) { return bytes.substr(0, bytes.find('\0')); }

// How many entries detection must write, counted on std::string.
int expected_count(int maxBoards) {
    int count = 0;
    for (const FuzzDevice &device : fuzzDevices) {
        if (device.hardwareId.size() > kPropertySize) continue;
        if (device.friendlyName.size() > kPropertySize) continue;
        if (as_text(device.friendlyName).find(kPortNameMarker) == std::string::npos) continue;
        for (const VidPidStruct &row : knownAppBoards) {
            if (as_text(device.hardwareId).find(row.vidpid) == std::string::npos) continue;
            if (++count == maxBoards) return count;
        }
    }
    return maxBoards <= 0 ? 0 : count;
}

bool is_known_board_name(const char *name) {
    for (const VidPidStruct &row : knownAppBoards) {
        if (strcmp(name, row.name) == 0) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    Reader in = {data + 1, size - 1};
    int maxBoards = data[0] % 13 - 1;
    fuzzDevices.clear();
    while (in.left > 0 && fuzzDevices.size() < kMaxDevices) {
        FuzzDevice device;
        device.hardwareId = take_bytes(&in, take_length(&in));
        device.friendlyName = take_bytes(&in, take_length(&in));
        fuzzDevices.push_back(device);
    }

    DetectedBoard boards[kArraySize];
    memset(boards, 0x5A, sizeof boards);
    int count = detectBoards(boards, maxBoards, knownAppBoards, 4);
    fuzz_check(count == expected_count(maxBoards), "count of entries");
    for (int i = 0; i < count; ++i) {
        fuzz_check(memchr(boards[i].portName, '\0', sizeof boards[i].portName) != nullptr,
                   "port name terminated");
        fuzz_check(strncmp(boards[i].portName, kPortNameMarker, strlen(kPortNameMarker)) == 0,
                   "port name starts at the marker");
        fuzz_check(is_known_board_name(boards[i].boardName), "board name from the table");
    }
    for (int i = count; i < kArraySize; ++i) {
        fuzz_check(boards[i].portName[0] == 0x5A && boards[i].boardName[49] == 0x5A,
                   "entries past the count untouched");
    }
    return 0;
}
