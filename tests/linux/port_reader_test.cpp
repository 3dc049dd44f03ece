// The Linux port reader over simulated sysfs devices: hardware-ID lists,
// friendly names, order, and detection on top of it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boards.h"
#include "platform.h"
#include "simulated_ports.h"

using namespace std::string_literals;

namespace {

struct ListedPort {
    std::string hardwareIds;  // the whole list, terminators included
    std::string friendlyName;
    bool operator==(const ListedPort &o) const {
        return hardwareIds == o.hardwareIds && friendlyName == o.friendlyName;
    }
};

void PrintTo(const ListedPort &port, std::ostream *os) {
    std::string ids = port.hardwareIds;
    for (char &c : ids) c = c == '\0' ? '|' : c;
    *os << "{" << ids << ", " << port.friendlyName << "}";
}

// Bytes up to and including the terminator that ends the list.
std::string id_list(const char *buffer, size_t size) {
    for (size_t i = 0; i + 1 < size; ++i) {
        if (buffer[i] == '\0' && (i == 0 || buffer[i + 1] == '\0')) return std::string(buffer, i + 2);
    }
    return std::string(buffer, size) + "<unterminated>";
}

std::vector<ListedPort> list_ports() {
    std::vector<ListedPort> ports;
    PortDeviceSet *set = platform_open_port_devices();
    if (set == nullptr) return ports;
    for (int i = 0; platform_port_device_exists(set, i); ++i) {
        char ids[256] = {}, name[256] = {};
        EXPECT_TRUE(platform_read_port_property(set, i, PORT_HARDWARE_ID, ids, sizeof ids));
        EXPECT_TRUE(platform_read_port_property(set, i, PORT_FRIENDLY_NAME, name, sizeof name));
        ports.push_back({id_list(ids, sizeof ids), name});
    }
    platform_close_port_devices(set);
    return ports;
}

const SimulatedPort kQuarnelAcm0 = {USB_CDC_ACM, "ttyACM0", "1-1", "3c7e", "5102", "0100"};
const SimulatedPort kBootloaderAcm1 = {USB_CDC_ACM, "ttyACM1", "1-4", "2341", "004d", "0100"};
const ListedPort kQuarnelListed = {"USB\\VID_3C7E&PID_5102&REV_0100\0USB\\VID_3C7E&PID_5102\0\0"s,
                                   "USB Serial Device (ttyACM0)"};

struct ReaderCase {
    const char *name;
    std::vector<SimulatedPort> ports;
    std::vector<ListedPort> expected;
};

void PrintTo(const ReaderCase &c, std::ostream *os) { *os << c.name; }

const ReaderCase kReaderCases[] = {
    {"UsbCdcAcm", {kQuarnelAcm0}, {kQuarnelListed}},
    {"UsbSerialConverter",
     {{USB_SERIAL, "ttyUSB0", "1-2", "0403", "6001", "0600"}},
     {{"USB\\VID_0403&PID_6001&REV_0600\0USB\\VID_0403&PID_6001\0\0"s,
       "USB Serial Device (ttyUSB0)"}}},
    {"HexIsUpperCasedAndRevComesFromBcdDevice",
     {{USB_CDC_ACM, "ttyACM3", "1-3", "abcd", "00ef", "1a2b"}},
     {{"USB\\VID_ABCD&PID_00EF&REV_1A2B\0USB\\VID_ABCD&PID_00EF\0\0"s,
       "USB Serial Device (ttyACM3)"}}},
    // Neither the order of creation nor its reverse: listed by the byte
    // order of the names.
    {"NameOrderIsByteOrder",
     {{USB_CDC_ACM, "ttyACM2", "1-3", "3c7e", "5101", "0100"},
      {USB_SERIAL, "ttyUSB0", "1-2", "0403", "6001", "0600"},
      {USB_CDC_ACM, "ttyACM10", "1-5", "3c7e", "5104", "0100"},
      {USB_CDC_ACM, "ttyACM1", "1-6", "3c7e", "5103", "0100"}},
     {{"USB\\VID_3C7E&PID_5103&REV_0100\0USB\\VID_3C7E&PID_5103\0\0"s,
       "USB Serial Device (ttyACM1)"},
      {"USB\\VID_3C7E&PID_5104&REV_0100\0USB\\VID_3C7E&PID_5104\0\0"s,
       "USB Serial Device (ttyACM10)"},
      {"USB\\VID_3C7E&PID_5101&REV_0100\0USB\\VID_3C7E&PID_5101\0\0"s,
       "USB Serial Device (ttyACM2)"},
      {"USB\\VID_0403&PID_6001&REV_0600\0USB\\VID_0403&PID_6001\0\0"s,
       "USB Serial Device (ttyUSB0)"}}},
    {"PortThatIsNotUsb",
     {{PLATFORM_UART, "ttyS0", "", "", "", ""}},
     {{"PLATFORM\\ttyS0\0\0"s, "Communications Port (ttyS0)"}}},
    {"TtyWithoutDeviceLinkIsNotListed",
     {{NO_DEVICE_LINK, "ttyV0", "", "", "", ""}, kQuarnelAcm0},
     {kQuarnelListed}},
    // A device may call itself anything; only the node names the port.
    {"ProductStringNeverReachesFriendlyName",
     {{USB_CDC_ACM, "ttyACM0", "1-1", "3c7e", "5102", "0100", "Fake (ttyUSB9) tty"}},
     {kQuarnelListed}},
};

class PortReader : public SimulatedPorts, public ::testing::WithParamInterface<ReaderCase> {};

TEST_P(PortReader, ListsPorts) {
    add_ports(GetParam().ports);
    EXPECT_EQ(list_ports(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Linux, PortReader, ::testing::ValuesIn(kReaderCases), RowName());

struct FitCase {
    const char *name;
    PortProperty property;
    size_t size;
    bool fits;
};

class PropertyFit : public SimulatedPorts, public ::testing::WithParamInterface<FitCase> {};

// "USB\VID_3C7E&PID_5102&REV_0100" + '\0' + "USB\VID_3C7E&PID_5102" + '\0' + '\0' is 54
// bytes; "USB Serial Device (ttyACM0)" + '\0' is 28.
const FitCase kFitCases[] = {
    {"IdListExactFit", PORT_HARDWARE_ID, 54, true},
    {"IdListOneShort", PORT_HARDWARE_ID, 53, false},
    {"IdListRoomForFirstIdOnly", PORT_HARDWARE_ID, 31, false},
    {"FriendlyNameExactFit", PORT_FRIENDLY_NAME, 28, true},
    {"FriendlyNameOneShort", PORT_FRIENDLY_NAME, 27, false},
};

void PrintTo(const FitCase &c, std::ostream *os) { *os << c.name; }

TEST_P(PropertyFit, FailsWhenTheWholeTextDoesNotFit) {
    add_ports({kQuarnelAcm0});
    PortDeviceSet *set = platform_open_port_devices();
    ASSERT_NE(set, nullptr);
    char buffer[256];
    EXPECT_EQ(platform_read_port_property(set, 0, GetParam().property, buffer, GetParam().size),
              GetParam().fits);
    platform_close_port_devices(set);
}

INSTANTIATE_TEST_SUITE_P(Linux, PropertyFit, ::testing::ValuesIn(kFitCases), RowName());

struct DetectCase {
    const char *name;
    std::vector<SimulatedPort> ports;
    const VidPidStruct *table;
    int tableSize;
    int expectedCount;
    const char *expectedPort;
    const char *expectedBoard;
};

void PrintTo(const DetectCase &c, std::ostream *os) { *os << c.name; }

const DetectCase kDetectCases[] = {
    {"QuarnelBoard", {kQuarnelAcm0}, knownAppBoards, 4, 1, "ttyACM0", "Quarnel"},
    {"BootloaderBesideBoard", {kQuarnelAcm0, kBootloaderAcm1}, knownBootloaders, 1, 1, "ttyACM1",
     "Bootloader"},
    {"BoardIsNotBootloader", {kQuarnelAcm0}, knownBootloaders, 1, 0, "", ""},
    {"FirstByNameWins",
     {{USB_CDC_ACM, "ttyACM1", "1-2", "3c7e", "5104", "0100"},
      {USB_CDC_ACM, "ttyACM0", "1-3", "3c7e", "5101", "0100"}},
     knownAppBoards, 4, 2, "ttyACM0", "Bravik"},
    {"BoardBehindConverter", {{USB_SERIAL, "ttyUSB0", "1-2", "3c7e", "5103", "0100"}},
     knownAppBoards, 4, 1, "ttyUSB0", "Dovrel"},
    {"NonUsbPortMatchesNoBoard", {{PLATFORM_UART, "ttyS0", "", "", "", ""}}, knownAppBoards, 4, 0,
     "", ""},
    {"NonUsbPortMatchesNoBootloader", {{PLATFORM_UART, "ttyS0", "", "", "", ""}},
     knownBootloaders, 1, 0, "", ""},
};

class DetectionOverSysfs : public SimulatedPorts, public ::testing::WithParamInterface<DetectCase> {};

TEST_P(DetectionOverSysfs, FindsFirstBoard) {
    const DetectCase &c = GetParam();
    add_ports(c.ports);
    DetectedBoard boards[10] = {};
    ASSERT_EQ(detectBoards(boards, 10, c.table, c.tableSize), c.expectedCount);
    EXPECT_STREQ(boards[0].portName, c.expectedPort);
    EXPECT_STREQ(boards[0].boardName, c.expectedBoard);
}

INSTANTIATE_TEST_SUITE_P(Linux, DetectionOverSysfs, ::testing::ValuesIn(kDetectCases), RowName());

}  // namespace
