#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "boards.h"
#include "fake_platform.h"

namespace {

const char *kBravik = "VID_3C7E&PID_5101";
const char *kQuarnel = "VID_3C7E&PID_5102";
const char *kBootloader = "VID_2341&PID_004D";

FakeDevice device(const std::string &hardwareId, const char *friendlyName) {
    FakeDevice d;
    d.hardwareId = hardwareId;
    d.friendlyName = friendly(friendlyName);
    return d;
}

struct Found {
    std::string port, board;
    bool operator==(const Found &o) const { return port == o.port && board == o.board; }
};

void PrintTo(const Found &f, std::ostream *os) { *os << "{" << f.port << ", " << f.board << "}"; }

struct DetectionCase {
    const char *name;
    std::vector<FakeDevice> devices;
    std::vector<Found> expected;
};

void PrintTo(const DetectionCase &c, std::ostream *os) { *os << c.name; }

class Detection : public ::testing::TestWithParam<DetectionCase> {};

std::vector<Found> detect_app_boards(const std::vector<FakeDevice> &devices) {
    reset_fake_platform();
    fake.detections = {devices};
    DetectedBoard boards[10];
    int count = detectBoards(boards, 10, knownAppBoards, 4);
    EXPECT_EQ(fake.openDeviceSets, 0) << "device set left open";
    std::vector<Found> found;
    for (int i = 0; i < count; ++i) found.push_back({boards[i].portName, boards[i].boardName});
    return found;
}

TEST_P(Detection, FindsPortAndBoard) {
    EXPECT_EQ(detect_app_boards(GetParam().devices), GetParam().expected);
}

std::string with_terminator(std::string text) { return text + '\0'; }

const DetectionCase kDetectionCases[] = {
    {"NoDevices", {}, {}},
    {"PortFromParenthesis", {device(usb_hardware_id(kBravik), "USB Serial Device (COM7)")},
     {{"COM7", "Bravik"}}},
    {"ComSearchedCaseSensitively",
     {device(usb_hardware_id(kBravik), "Communications Port (COM1)")}, {{"COM1", "Bravik"}}},
    {"NoParenthesis", {device(usb_hardware_id(kBravik), "COM3")}, {{"COM3", "Bravik"}}},
    {"RunOnNameCutTo19",
     {device(usb_hardware_id(kBravik), "xCOM4567890123456789012345678901234567890")},
     {{"COM4567890123456789", "Bravik"}}},
    {"ComInsideAWord", {device(usb_hardware_id(kQuarnel), "Serial COMPOSITE Device (COM4)")},
     {{"COMPOSITE Device (C", "Quarnel"}}},
    {"NoComInName", {device(usb_hardware_id(kBravik), "Printer Port (LPT1)")}, {}},
    {"LowerCaseIdNotMatched", {device(with_terminator("USB\\vid_3c7e&pid_5101") + '\0', "(COM5)")},
     {}},
    {"OnlyFirstIdCounts",
     {device(with_terminator("FTDIBUS\\X") + "USB\\" + kBravik + '\0' + '\0', "(COM5)")}, {}},
    {"BootloaderIsNoAppBoard", {device(usb_hardware_id(kBootloader), "(COM5)")}, {}},
    {"FirstListedFirst",
     {device(usb_hardware_id(kQuarnel), "(COM8)"), device(usb_hardware_id(kBravik), "(COM2)")},
     {{"COM8", "Quarnel"}, {"COM2", "Bravik"}}},
    {"OneDeviceSeveralRows",
     {device(with_terminator(std::string("USB\\") + kBravik + "&" + kQuarnel) + '\0', "(COM6)")},
     {{"COM6", "Bravik"}, {"COM6", "Quarnel"}}},
    {"OversizedIdPassedOver",
     {device(usb_hardware_id(kBravik) + std::string(250, 'x') + '\0', "(COM1)"),
      device(usb_hardware_id(kQuarnel), "(COM2)")},
     {{"COM2", "Quarnel"}}},
    {"IdOfExactly256BytesWithoutTerminator",
     {device(std::string("USB\\") + kBravik + std::string(256 - 21, 'x'), "(COM1)")},
     {{"COM1", "Bravik"}}},
    {"OversizedFriendlyNamePassedOver",
     {device(usb_hardware_id(kBravik), (std::string(256, 'x') + "(COM1)").c_str())}, {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, Detection, ::testing::ValuesIn(kDetectionCases),
                         [](const auto &row) { return std::string(row.param.name); });

TEST(DetectionEdges, UnreadablePropertiesPassedOver) {
    FakeDevice noId = device(usb_hardware_id(kBravik), "(COM1)");
    noId.hardwareIdFails = true;
    FakeDevice noName = device(usb_hardware_id(kBravik), "(COM2)");
    noName.friendlyNameFails = true;
    EXPECT_EQ(detect_app_boards({noId, noName, device(usb_hardware_id(kBravik), "(COM3)")}),
              (std::vector<Found>{{"COM3", "Bravik"}}));
}

TEST(DetectionEdges, InvalidDeviceSetFindsNothing) {
    reset_fake_platform();
    fake.deviceSetInvalid = true;
    DetectedBoard boards[10];
    EXPECT_EQ(detectBoards(boards, 10, knownAppBoards, 4), 0);
}

// Entries at and past maxBoards must stay as the caller left them.
TEST(DetectionEdges, StopsAtMaxBoards) {
    for (int maxBoards : {-1, 0, 1, 10}) {
        reset_fake_platform();
        fake.detections = {std::vector<FakeDevice>(12, device(usb_hardware_id(kBravik), "(COM9)"))};
        DetectedBoard boards[12];
        memset(boards, 0x5A, sizeof boards);
        int expected = maxBoards < 0 ? 0 : maxBoards;
        EXPECT_EQ(detectBoards(boards, maxBoards, knownAppBoards, 4), expected);
        for (int i = expected; i < 12; ++i) {
            EXPECT_EQ(boards[i].portName[0], 0x5A) << "maxBoards " << maxBoards << " entry " << i;
        }
    }
}

// The tables' "VID_xxxx&PID_xxxx", as the udev rules and simulated_board read it.
TEST(UsbIdOfVidpid, ExactlyTheTablesShape) {
    struct Row {
        const char *text;
        bool parsed;
        unsigned vendor, product;
    };
    const Row rows[] = {
        {"VID_3C7E&PID_5102", true, 0x3C7E, 0x5102},
        {"VID_2341&PID_004D", true, 0x2341, 0x004D},
        {"VID_3c7e&PID_5102", false, 0, 0},  // detection would never match it
        {"VID_3C7E&PID_510", false, 0, 0},
        {"VID_3C7E&PID_51020", false, 0, 0},
        {"VID_3C7E PID_5102", false, 0, 0},
        {"VID_3C7G&PID_5102", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const Row &row : rows) {
        UsbId id = {7, 7};
        EXPECT_EQ(usb_id_of_vidpid(row.text, &id), row.parsed) << row.text;
        if (row.parsed) {
            EXPECT_EQ(id.vendor, row.vendor) << row.text;
            EXPECT_EQ(id.product, row.product) << row.text;
        }
    }
    UsbId id = {};
    for (const VidPidStruct &row : knownAppBoards) EXPECT_TRUE(usb_id_of_vidpid(row.vidpid, &id));
    EXPECT_TRUE(usb_id_of_vidpid(knownBootloaders[0].vidpid, &id));
}

TEST(GetIndex, FindsFirstOccurrence) {
    EXPECT_EQ(get_index("COM7)", ')'), 4);
    EXPECT_EQ(get_index("a)b)", ')'), 1);
    EXPECT_EQ(get_index("COM7", ')'), -1);
    EXPECT_EQ(get_index("", ')'), -1);
}

}  // namespace
