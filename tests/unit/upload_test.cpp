#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "console_capture.h"
#include "fake_platform.h"
#include "upload.h"

namespace {

const char kMenu[] =
    "No known board have been detected. Please select one\n"
    "[Q] Quarnel\n[B] Bravik\n[H] Harlun\n";
const char kClosing[] = "\n\nPress Enter to exit...\n";
const char kInvalid[] = "Invalid Letter. Cancel upload\n";

FakeDevice port(const char *vidpid, const char *friendlyName) {
    FakeDevice d;
    d.hardwareId = usb_hardware_id(vidpid);
    d.friendlyName = friendly(friendlyName);
    return d;
}

std::string no_file(const char *board) {
    return std::string("No file was found for ") + board +
           ". Please add a file with the board name inside.\n";
}

// The double's folder holds no image, so every run that gets a board ends
// with the "No file was found" report; the flashing phase has its own table
// below.
struct DriverCase {
    const char *name;
    std::vector<FakeDevice> devices;
    const char *input;
    std::string expectedOutput;
    int expectedStatus;
    int listingErrno = 0;  // the folder's listing breaks off with it
};

void PrintTo(const DriverCase &c, std::ostream *os) { *os << c.name; }

class Driver : public ::testing::TestWithParam<DriverCase> {};

TEST_P(Driver, TalksAndExits) {
    const DriverCase &c = GetParam();
    reset_fake_platform();
    fake.detections = {c.devices};
    fake.listingErrno = c.listingErrno;
    int status = -1;
    ::testing::internal::CaptureStderr();
    std::string output = run_with_console(c.input, [&] { status = run_upload(); });
    std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(output, c.expectedOutput);
    // A listing that breaks off is the folder that cannot be listed.
    EXPECT_EQ(report, c.listingErrno == 0 ? ""
                                          : std::string("opendir() error: ") +
                                                strerror(c.listingErrno) + "\n");
    EXPECT_EQ(status, c.expectedStatus);
    // The closing pause comes with status 0 only.
    std::vector<std::string> expectedEvents = {"detect"};
    if (c.expectedStatus == 0) expectedEvents.push_back("pause");
    EXPECT_EQ(fake.events, expectedEvents);
}

const DriverCase kDriverCases[] = {
    {"KnownBoardFound", {port("VID_3C7E&PID_5104", "USB Serial Device (COM3)")}, "",
     std::string("Automaticly selected board : Harlun\n") + no_file("Harlun") + kClosing, 0},
    {"FirstListedBoardWins",
     {port("VID_3C7E&PID_5103", "(COM8)"), port("VID_3C7E&PID_5101", "(COM2)")}, "",
     std::string("Automaticly selected board : Dovrel\n") + no_file("Dovrel") + kClosing, 0},
    {"BlankLineThenLetter", {}, "\n  \nb\n", kMenu + no_file("Bravik") + kClosing, 0},
    {"UpperCaseLetter", {}, "Q", kMenu + no_file("Quarnel") + kClosing, 0},
    {"LowerCaseH", {}, "h\n", kMenu + no_file("Harlun") + kClosing, 0},
    {"UnknownLetter", {}, "x\n", std::string(kMenu) + kInvalid, 1},
    {"DovrelNotOnTheMenu", {}, "d\n", std::string(kMenu) + kInvalid, 1},
    {"EndOfInputAtMenu", {}, "", std::string(kMenu) + kInvalid, 1},
    {"BootloaderIsNoBoard", {port("VID_2341&PID_004D", "(COM5)")}, "x",
     std::string(kMenu) + kInvalid, 1},
    {"ListingBreaksOff", {port("VID_3C7E&PID_5104", "USB Serial Device (COM3)")}, "",
     std::string("Automaticly selected board : Harlun\n") + no_file("Harlun") + kClosing, 0,
     EOVERFLOW},
};

INSTANTIATE_TEST_SUITE_P(Cases, Driver, ::testing::ValuesIn(kDriverCases),
                         [](const auto &row) { return std::string(row.param.name); });

// --- The bootloader phase --------------------------------------------------------

const char kDoubleTap[] =
    "Please double click on reset button, a red light should turn on. Press Enter after that...\n";
const char kRetry[] = "No bootloader detected, maybe your double is too slow. Retry\n\n";
const char kGiveUp[] =
    "No bootloader detected, maybe your double is too slow. Please relauch program\n";
const char kLine[] =
    "\"C:\\Tools\\Up/Bossac/1.9.1/bossac.exe\" --port=COM4 -i -e -w -v "
    "\"C:\\Tools\\Up\\Harlun_App_21_4.bin\" --offset=0x2000 -R";

FakeDevice bootloader(const char *friendlyName) {
    return port("VID_2341&PID_004D", friendlyName);
}

struct FlashingCase {
    const char *name;
    std::vector<std::vector<FakeDevice>> detections;  // one per attempt
    std::vector<unsigned long> launchErrors;
    std::string expectedOutput;
    int expectedAttempts;
    int expectedLaunches;
};

void PrintTo(const FlashingCase &c, std::ostream *os) { *os << c.name; }

class Flashing : public ::testing::TestWithParam<FlashingCase> {};

TEST_P(Flashing, AttemptsAndMessages) {
    const FlashingCase &c = GetParam();
    reset_fake_platform();
    fake.detections = c.detections;
    fake.launchErrors = c.launchErrors;
    DetectedBoard boards[10];
    std::string output = run_with_console("", [&] {
        run_flashing_phase("C:\\Tools\\Up", "C:\\Tools\\Up\\Harlun_App_21_4.bin", boards);
    });
    EXPECT_EQ(output, c.expectedOutput);
    EXPECT_EQ(fake.detectionsDone, c.expectedAttempts);
    EXPECT_EQ(static_cast<int>(fake.launchArguments.size()), c.expectedLaunches);
    // Every attempt is a pause, then the one-second wait, then a detection.
    for (int attempt = 0; attempt < c.expectedAttempts; ++attempt) {
        size_t at = 0;
        int seen = -1;
        for (; at < fake.events.size(); ++at) {
            if (fake.events[at] == "pause" && ++seen == attempt) break;
        }
        ASSERT_LT(at + 2, fake.events.size());
        EXPECT_EQ(fake.events[at + 1], "sleep 1000");
        EXPECT_EQ(fake.events[at + 2], "detect");
    }
}

std::string attempt_with(const std::string &after) { return kDoubleTap + after; }
std::string launched() { return attempt_with(std::string(kLine) + "\n"); }
std::string failed_launch() { return launched() + "Erreur during execution: 2\n"; }
std::string no_bootloader() { return attempt_with(kRetry); }

const FlashingCase kFlashingCases[] = {
    {"FirstAttempt", {{bootloader("(COM4)")}}, {}, launched(), 1, 1},
    {"SecondAttempt", {{}, {bootloader("(COM4)")}}, {}, no_bootloader() + launched(), 2, 1},
    {"NeverFound", {{}, {}, {}}, {}, no_bootloader() + no_bootloader() + no_bootloader() + kGiveUp,
     3, 0},
    // The last detection did find a bootloader, so no "relaunch" advice.
    {"ToolMissingThreeTimes",
     {{bootloader("(COM4)")}, {bootloader("(COM4)")}, {bootloader("(COM4)")}}, {2, 2, 2},
     failed_launch() + failed_launch() + failed_launch(), 3, 3},
    {"LaunchFailsThenNothing", {{bootloader("(COM4)")}, {}, {}}, {2},
     failed_launch() + no_bootloader() + no_bootloader() + kGiveUp, 3, 1},
    {"LaunchFailsThenWorks", {{bootloader("(COM4)")}, {bootloader("(COM4)")}}, {5},
     launched() + "Erreur during execution: 5\n" + launched(), 2, 2},
    {"FirstOfTwoBootloaders", {{bootloader("(COM4)"), bootloader("(COM9)")}}, {}, launched(), 1,
     1},
    {"AppBoardIsNoBootloader", {{port("VID_3C7E&PID_5104", "(COM4)")}, {}, {}}, {},
     no_bootloader() + no_bootloader() + no_bootloader() + kGiveUp, 3, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, Flashing, ::testing::ValuesIn(kFlashingCases),
                         [](const auto &row) { return std::string(row.param.name); });

TEST(ToolCommandLine, QuotesBothPathsAndNotThePort) {
    char toolPath[300];
    char command[1024];
    ToolLaunch launch;
    build_tool_launch("D:\\Tools\\Up", "COM9", "D:\\Tools\\Up\\Harlun_App_21_4.bin", toolPath,
                      sizeof toolPath, command, sizeof command, &launch);
    EXPECT_STREQ(command,
                 "\"D:\\Tools\\Up/Bossac/1.9.1/bossac.exe\" --port=COM9 -i -e -w -v "
                 "\"D:\\Tools\\Up\\Harlun_App_21_4.bin\" --offset=0x2000 -R");
    EXPECT_STREQ(launch.toolPath, "D:\\Tools\\Up/Bossac/1.9.1/bossac.exe");
    EXPECT_STREQ(launch.portName, "COM9");
    EXPECT_EQ(launch.commandLine, command);
}

TEST(ToolCommandLine, PercentInPathIsPrintedAsItIs) {
    reset_fake_platform();
    fake.detections = {{bootloader("(COM4)")}};
    DetectedBoard boards[10];
    std::string output = run_with_console(
        "", [&] { run_flashing_phase("C:\\100%s", "C:\\100%s\\Harlun_App_%d.bin", boards); });
    EXPECT_NE(output.find("\"C:\\100%s/Bossac/1.9.1/bossac.exe\" --port=COM4 -i -e -w -v "
                          "\"C:\\100%s\\Harlun_App_%d.bin\" --offset=0x2000 -R\n"),
              std::string::npos)
        << output;
}

// The program path is cut at its last separator; the double's separator is '\\'.
TEST(CurrentDirectory, CutAtLastSeparator) {
    const struct {
        const char *programPath, *expected;
    } cases[] = {
        {"C:\\Tools\\Up\\UpdateProgramManually.exe", "C:\\Tools\\Up"},
        {"C:\\My Tools\\a b\\x.exe", "C:\\My Tools\\a b"},
        {"UpdateProgramManually.exe", "UpdateProgramManually.exe"},
    };
    for (const auto &c : cases) {
        reset_fake_platform();
        fake.programPath = c.programPath;
        char currentDir[260];
        get_current_directory(currentDir, sizeof currentDir);
        EXPECT_STREQ(currentDir, c.expected);
    }
}

}  // namespace
