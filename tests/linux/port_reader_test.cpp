// The Linux port reader over simulated sysfs devices: hardware-ID lists,
// friendly names, order, and detection on top of it.
#include <gtest/gtest.h>
#include <umockdev.h>

#include <cerrno>
#include <string>
#include <vector>

#include "boards.h"
#include "platform.h"
#include "scripted_libc.h"
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
    LibcScript script = {};  // what the C library answers while the ports are listed
};

// An ID no table row matches: a USB port whose USB IDs cannot be had.
const ListedPort kAcm0WithoutIds = {"USB\\ttyACM0\0\0"s, "Communications Port (ttyACM0)"};
// The longest node name the kernel gives (NAME_MAX) is longer than a set keeps.
const std::string kNodeOf64 = "ttyUSB" + std::string(58, '7');

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
    // IDs the kernel would never write are no IDs: never a board by chance.
    {"VendorIdNotHex", {{USB_CDC_ACM, "ttyACM0", "1-1", "zz7e", "5102", "0100"}}, {kAcm0WithoutIds}},
    {"VendorIdOfFiveDigits", {{USB_CDC_ACM, "ttyACM0", "1-1", "13c7e", "5102", "0100"}},
     {kAcm0WithoutIds}},
    {"ProductIdEmpty", {{USB_CDC_ACM, "ttyACM0", "1-1", "3c7e", "", "0100"}}, {kAcm0WithoutIds}},
    {"NoRevisionIsRevisionZero", {{USB_CDC_ACM, "ttyACM0", "1-1", "3c7e", "5102", ""}},
     {{"USB\\VID_3C7E&PID_5102&REV_0000\0USB\\VID_3C7E&PID_5102\0\0"s,
       "USB Serial Device (ttyACM0)"}}},
    {"NodeNameTooLongIsNotListed",
     {{USB_SERIAL, kNodeOf64.c_str(), "1-2", "0403", "6001", "0600"}, kQuarnelAcm0},
     {kQuarnelListed}},
    // The system's answers: sysfs that cannot be read (a device going away
    // answers EIO), a read interrupted once, a bus link that cannot be read
    // or names its bus without a folder, and no memory for the set.
    {"AttributesUnreadable", {kQuarnelAcm0}, {kAcm0WithoutIds}, {{}, {EIO, 0, 0}, {}, nullptr}},
    {"InterruptedReadIsMadeAgain", {kQuarnelAcm0}, {kQuarnelListed}, {{}, {EINTR, 0, 1}, {}, nullptr}},
    {"BusLinkUnreadable", {{PLATFORM_UART, "ttyS0", "", "", "", ""}},
     {{"UNKNOWN\\ttyS0\0\0"s, "Communications Port (ttyS0)"}}, {{}, {}, {EACCES, 0, 0}, nullptr}},
    {"BusLinkWithoutFolder", {{PLATFORM_UART, "ttyS0", "", "", "", ""}},
     {{"PNP\\ttyS0\0\0"s, "Communications Port (ttyS0)"}}, {{}, {}, {}, "pnp"}},
    {"NoMemoryForTheSet", {kQuarnelAcm0}, {}, {{ENOMEM, 0, 1}, {}, {}, nullptr}},
};

class PortReader : public SimulatedPorts, public ::testing::WithParamInterface<ReaderCase> {};

TEST_P(PortReader, ListsPorts) {
    add_ports(GetParam().ports);
    libcScript = GetParam().script;
    const std::vector<ListedPort> listed = list_ports();
    reset_libc_script();
    EXPECT_EQ(listed, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Linux, PortReader, ::testing::ValuesIn(kReaderCases), RowName());

struct FitCase {
    const char *name;
    PortProperty property;
    size_t size;
    bool fits;
    int index = 0;
    int ports = 1;  // Quarnel's, then as many other ports as it takes
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
    {"IndexPastTheLastPort", PORT_HARDWARE_ID, 256, false, 1},
    {"IndexBeforeTheFirst", PORT_HARDWARE_ID, 256, false, -1},
    // A set holds at most 1024 ports, and the 1025th is not among them (4 s).
    {"PortBeyondTheMostASetHolds", PORT_FRIENDLY_NAME, 256, false, 1024, 1025},
};

void PrintTo(const FitCase &c, std::ostream *os) { *os << c.name; }

TEST_P(PropertyFit, FailsWhenTheWholeTextDoesNotFitOrNoPortIsThere) {
    add_ports({kQuarnelAcm0});
    // The others as on-board UARTs of one platform device, in one record:
    // each tty's paragraph, then their device's once.
    std::string others, device;
    for (int i = 1; i < GetParam().ports; ++i) {
        const std::string node = "ttyS" + std::to_string(i);
        const std::string record = port_record({PLATFORM_UART, node.c_str(), "", "", "", ""});
        const size_t deviceAt = record.find("P: /devices/platform/serial8250\n");
        others += record.substr(0, deviceAt);
        device = record.substr(deviceAt);
    }
    others += device;
    if (GetParam().ports > 1) {
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, others.c_str(), nullptr));
    }
    PortDeviceSet *set = platform_open_port_devices();
    ASSERT_NE(set, nullptr);
    char buffer[256];
    EXPECT_EQ(platform_read_port_property(set, GetParam().index, GetParam().property, buffer,
                                          GetParam().size),
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
