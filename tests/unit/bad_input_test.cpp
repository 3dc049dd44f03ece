// What users type and what devices report, at its worst: keyboard text at
// the version prompt and at the letter menu, and device properties at the
// very edge of the 256-byte buffers.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "boards.h"
#include "console_capture.h"
#include "fake_platform.h"
#include "firmware.h"
#include "upload.h"

namespace {

// --- Keyboard: numbers at the version prompt ---------------------------------------

// One read_choice_number call: its result, and the number when it is 1.
struct Read {
    int result;
    int number;
    bool operator==(const Read &o) const {
        return result == o.result && (result != 1 || number == o.number);
    }
};

void PrintTo(const Read &r, std::ostream *os) { *os << "{" << r.result << ", " << r.number << "}"; }

constexpr Read kNotANumber = {0, 0};
constexpr Read kEnd = {-1, 0};
Read number(int n) { return {1, n}; }

struct NumberCase {
    const char *name;
    std::string input;
    std::vector<Read> expected;  // every read up to and including end of input
};

void PrintTo(const NumberCase &c, std::ostream *os) { *os << c.name; }

class ChoiceNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ChoiceNumber, ReadsUntilEndOfInput) {
    std::vector<Read> reads;
    run_with_console(GetParam().input, [&] {
        // More reads than any row needs: a read that never reaches the end shows up.
        for (int i = 0; i < 10; ++i) {
            Read r = {0, 0};
            r.result = read_choice_number(&r.number);
            reads.push_back(r);
            if (r.result < 0) break;
        }
    });
    EXPECT_EQ(reads, GetParam().expected);
}

const std::string kLongLine(10000, 'x');

const NumberCase kNumberCases[] = {
    {"EmptyInput", "", {kEnd}},
    {"OnlyWhiteSpace", " \t\n\r\n\v\f ", {kEnd}},
    {"TenThousandLetters", kLongLine + "\n7\n", {kNotANumber, number(7), kEnd}},
    {"TenThousandBlanksBeforeNumber", std::string(10000, ' ') + "4", {number(4), kEnd}},
    {"TenThousandDigitsSaturate", std::string(10000, '9') + "\n", {number(INT_MAX), kEnd}},
    {"TenThousandLeadingZeros", std::string(10000, '0') + "5", {number(5), kEnd}},
    {"IntLimits",
     "2147483647 2147483648 -2147483648 -2147483649",
     {number(INT_MAX), number(INT_MAX), number(INT_MIN), number(INT_MIN), kEnd}},
    {"Negatives", "-5 -0 +3", {number(-5), number(0), number(3), kEnd}},
    {"DoubleSignDiscardsLine", "--5 6\n4", {kNotANumber, number(4), kEnd}},
    {"SignThenBlankDiscardsLine", "- 5\n4", {kNotANumber, number(4), kEnd}},
    {"SignAtEndOfInput", "-", {kNotANumber, kEnd}},
    {"DigitsThenLetters", "3abc\n", {number(3), kNotANumber, kEnd}},
    {"WindowsLineEnds", "1\r\n2\r\n", {number(1), number(2), kEnd}},
    // 0xFF is a byte like any other, not end of input.
    {"ByteFFIsNotEndOfInput", "\xff", {kNotANumber, kEnd}},
    {"NonAsciiThenNumber", "\xc3\xa9\xff\x80\n3", {kNotANumber, number(3), kEnd}},
    {"NumberThenNonAscii", "3\xe9", {number(3), kNotANumber, kEnd}},
    {"NonAsciiDigitsAreNoDigits", "\xd9\xa3\n", {kNotANumber, kEnd}},
    {"NulByteIsNoDigit", std::string("\0" "2", 2), {kNotANumber, kEnd}},
};

INSTANTIATE_TEST_SUITE_P(Keyboard, ChoiceNumber, ::testing::ValuesIn(kNumberCases),
                         [](const auto &row) { return std::string(row.param.name); });

// --- Keyboard: the letter menu ------------------------------------------------------

struct MenuCase {
    const char *name;
    std::string input;
    const char *expectedBoard;  // null: the letter is refused
};

void PrintTo(const MenuCase &c, std::ostream *os) { *os << c.name; }

class Menu : public ::testing::TestWithParam<MenuCase> {};

// No board attached; the double lists no images, so a chosen board ends in
// the "No file was found" line.
TEST_P(Menu, ChoosesOrRefuses) {
    const MenuCase &c = GetParam();
    reset_fake_platform();
    int status = -1;
    std::string output = run_with_console(c.input, [&] { status = run_upload(); });
    std::string menu =
        "No known board have been detected. Please select one\n[Q] Quarnel\n[B] Bravik\n"
        "[H] Harlun\n";
    if (c.expectedBoard == nullptr) {
        EXPECT_EQ(output, menu + "Invalid Letter. Cancel upload\n");
        EXPECT_EQ(status, 1);
    } else {
        EXPECT_EQ(output, menu + "No file was found for " + c.expectedBoard +
                              ". Please add a file with the board name inside.\n\n\nPress Enter "
                              "to exit...\n");
        EXPECT_EQ(status, 0);
    }
}

const MenuCase kMenuCases[] = {
    {"TenThousandBlankLinesThenLetter", std::string(10000, '\n') + "b\n", "Bravik"},
    {"LetterStartsTenThousandCharacterLine", "h" + kLongLine + "\n", "Harlun"},
    {"TenThousandCharacterLineOfNoLetter", kLongLine + "\n", nullptr},
    {"ByteFF", "\xff\n", nullptr},
    {"NonAsciiLetter", "\xc3\xa9\n", nullptr},
    {"NulByte", std::string("\0q", 2), nullptr},
};

INSTANTIATE_TEST_SUITE_P(Keyboard, Menu, ::testing::ValuesIn(kMenuCases),
                         [](const auto &row) { return std::string(row.param.name); });

// --- File names: the name rules on names as long as a file system allows ------------

TEST(ImageNameEdges, ShownVersionIsCutNeverOverrun) {
    const struct {
        std::string name;
        std::string shown;
    } rows[] = {
        // 255 bytes: the hardware part is cut to 31 characters, then the '.' goes in.
        {"Quarnel_App_" + std::string(239, '7') + ".bin", "7." + std::string(30, '7')},
        {"Quarnel_App_" + std::string(200, '8') + "_1.bin", "8." + std::string(30, '8')},
        {"Quarnel_App_%s%n_%d.bin", "%.s%n"},
        {"QUARNEL_APP_\"'\".bin", "\".'\""},
    };
    for (const auto &row : rows) {
        char shown[32];
        ASSERT_TRUE(image_version_from_name(row.name.c_str(), "Quarnel_App_", shown, sizeof shown))
            << row.name;
        EXPECT_EQ(shown, row.shown.substr(0, sizeof shown - 1)) << row.name;
    }
}

// --- Devices: properties at the edge of the 256-byte buffers ---------------------------

const char kBravik[] = "VID_3C7E&PID_5101";

// A hardware-ID list of exactly size bytes whose first entry is
// "USB\<vidpid>" padded with 'x'; terminated lists end in two zero bytes.
std::string id_list(size_t size, bool terminated = true) {
    std::string first = std::string("USB\\") + kBravik;
    size_t ends = terminated ? 2 : 0;
    return first + std::string(size - first.size() - ends, 'x') + std::string(ends, '\0');
}

// An unterminated property of 256 bytes ending in text.
std::string ending_in(const std::string &text) { return std::string(256 - text.size(), 'x') + text; }

// A friendly name of exactly size bytes, terminator included, ending in "(COM7)".
std::string name_of_size(size_t size) { return std::string(size - 7, 'x') + "(COM7)" + '\0'; }

FakeDevice device(const std::string &hardwareId, const std::string &friendlyName) {
    FakeDevice d;
    d.hardwareId = hardwareId;
    d.friendlyName = friendlyName;
    return d;
}

struct PropertyCase {
    const char *name;
    FakeDevice device;
    const char *expectedPort;  // null: the device is passed over
};

void PrintTo(const PropertyCase &c, std::ostream *os) { *os << c.name; }

class PropertyEdge : public ::testing::TestWithParam<PropertyCase> {};

// A good device follows the one under test: passing over must not end the walk.
TEST_P(PropertyEdge, MatchesOrPassesOver) {
    const PropertyCase &c = GetParam();
    reset_fake_platform();
    fake.detections = {{c.device, device(usb_hardware_id(kBravik), friendly("(COM2)"))}};
    DetectedBoard boards[10];
    int count = detectBoards(boards, 10, knownAppBoards, 4);
    std::vector<std::string> ports;
    for (int i = 0; i < count; ++i) ports.push_back(boards[i].portName);
    std::vector<std::string> expected = {"COM2"};
    if (c.expectedPort != nullptr) expected.insert(expected.begin(), c.expectedPort);
    EXPECT_EQ(ports, expected);
    EXPECT_EQ(fake.openDeviceSets, 0);
}

const std::string kCom7 = friendly("(COM7)");

const PropertyCase kPropertyCases[] = {
    {"IdList255Bytes", device(id_list(255), kCom7), "COM7"},
    {"IdList256Bytes", device(id_list(256), kCom7), "COM7"},
    {"IdList257Bytes", device(id_list(257), kCom7), nullptr},
    {"Id256BytesNoTerminator", device(id_list(256, false), kCom7), "COM7"},
    {"Id257BytesNoTerminator", device(id_list(257, false), kCom7), nullptr},
    {"Id256BytesPatternInLastBytes", device(ending_in(kBravik), kCom7), "COM7"},
    {"Id256BytesPatternCutByTheEnd",
     device(ending_in(std::string(kBravik, sizeof kBravik - 2)), kCom7), nullptr},
    {"FriendlyName255Bytes", device(usb_hardware_id(kBravik), name_of_size(255)), "COM7"},
    {"FriendlyName256Bytes", device(usb_hardware_id(kBravik), name_of_size(256)), "COM7"},
    {"FriendlyName257Bytes", device(usb_hardware_id(kBravik), name_of_size(257)), nullptr},
    {"FriendlyName256BytesNoTerminatorEndsInPort",
     device(usb_hardware_id(kBravik), ending_in("(COM7")), "COM7"},
    {"EmptyProperties", device("", ""), nullptr},
    {"NulBytesOnly", device(std::string(256, '\0'), std::string(256, '\0')), nullptr},
};

INSTANTIATE_TEST_SUITE_P(Devices, PropertyEdge, ::testing::ValuesIn(kPropertyCases),
                         [](const auto &row) { return std::string(row.param.name); });

}  // namespace
