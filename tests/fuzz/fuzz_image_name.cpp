// image_version_from_name over any file name, any board prefix and any
// buffer size for the shown version.
// Input: one byte choosing the prefix (a known board's, or else taken from
// the input up to a '/' byte, at most 63 characters as the lookup cuts it),
// one byte for the buffer size (1..40), then the file name.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "boards.h"
#include "firmware.h"
#include "fuzz_platform.h"

namespace {

constexpr size_t kPrefixCapacity = 64;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool begins_with_ignoring_case(const std::string &name, const std::string &prefix) {
    if (name.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (lower(name[i]) != lower(prefix[i])) return false;
    }
    return true;
}

std::string text_before_nul(const std::string &bytes) { return bytes.substr(0, bytes.find('\0')); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    std::string rest(reinterpret_cast<const char *>(data + 2), size - 2);
    std::string prefix;
    if (data[0] < 4) {
        prefix = std::string(knownAppBoards[data[0]].name) + "_App_";
    } else {
        size_t slash = rest.find('/');
        prefix = text_before_nul(rest.substr(0, slash)).substr(0, kPrefixCapacity - 1);
        rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
    }
    std::string name = text_before_nul(rest);
    size_t shownSize = 1 + data[1] % 40;
    std::vector<char> shown(shownSize, 'Z');

    bool isImage = image_version_from_name(name.c_str(), prefix.c_str(), shown.data(), shownSize);
    bool expected = name.find(".bin") != std::string::npos && begins_with_ignoring_case(name, prefix);
    fuzz_check(isImage == expected, "image iff \".bin\" and the prefix");
    if (!isImage) return 0;
    fuzz_check(memchr(shown.data(), '\0', shownSize) != nullptr, "shown version terminated");
    std::string version = shown.data();
    // At most 31 characters of the hardware part, plus the inserted '.'.
    fuzz_check(version.size() <= 32, "shown version length");
    fuzz_check(version.find('_') == std::string::npos, "hardware part ends at '_'");
    std::string field = name.substr(prefix.size());
    fuzz_check(version.empty() || version[0] == field[0], "first character kept");
    fuzz_check(version.size() < 2 || version[1] == '.', "'.' after the first character");
    return 0;
}
