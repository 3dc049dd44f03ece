// read_choice_number over any keyboard input: the input becomes stdin, and
// numbers are read until end of input, the way the version prompt does.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "firmware.h"
#include "fuzz_platform.h"

namespace {

bool all_digits(const std::string &text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// A number of up to 18 digits must come back as strtoll reads it, held to
// int's range.
void check_against_strtol(const std::string &input, long position, int number) {
    size_t start = input.find_first_not_of(" \t\n\v\f\r", static_cast<size_t>(position));
    size_t end = input.find_first_not_of("0123456789", start + 1);
    std::string token = input.substr(start, end == std::string::npos ? end : end - start);
    std::string digits = token[0] == '-' || token[0] == '+' ? token.substr(1) : token;
    if (!all_digits(digits) || digits.size() > 18) return;
    long long value = strtoll(token.c_str(), nullptr, 10);
    long long held = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : value;
    fuzz_check(number == held, "number as strtoll reads it, held to int's range");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    // fmemopen refuses an empty buffer; a lone blank reads the same as nothing.
    if (input.empty()) input = " ";
    FILE *keyboard = fmemopen(&input[0], input.size(), "r");
    if (keyboard == nullptr) return 0;
    FILE *realStdin = stdin;
    stdin = keyboard;
    for (;;) {
        long before = ftell(stdin);
        int number = 12345;
        int result = read_choice_number(&number);
        if (result < 0) break;
        // Each answer takes at least one character: the prompt cannot spin.
        fuzz_check(ftell(stdin) > before, "input consumed");
        if (result == 1) check_against_strtol(input, before, number);
    }
    stdin = realStdin;
    fclose(keyboard);
    return 0;
}
