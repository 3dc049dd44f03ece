// The Windows platform file where Windows answers otherwise than Wine does
// by itself: a folder listing that breaks off, the system-wide UTF-8 code
// page, program folders the code page cannot hold, with or without a short
// name, memory that runs short, a device set not to be had, and each device's
// properties asked out of order. The calls answer as the test scripts them
// (win32_script.h).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "boards.h"
#include "platform.h"
#include "process_tag.h"
#include "win32_script.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

class Scripted : public ::testing::Test {
  protected:
    void SetUp() override { reset_win32_script(); }
    void TearDown() override { reset_win32_script(); }
};

struct ListingCase {
    const char *name;
    Win32Fault findFirstFile;
    Win32Fault findNextFile;
    int entriesBefore;  // read before the end or the break; -1: it does not open
    int expectedErrno;  // 0: the end of the folder
    std::string folder = "";  // empty: the test's own
};

// errno as opendir and readdir set it, for each error the listing maps and
// one it does not; a break part-way is an error, never the folder's end.
const ListingCase kListingCases[] = {
    {"file not found", {ERROR_FILE_NOT_FOUND, 0}, {}, -1, ENOENT},
    {"path not found", {ERROR_PATH_NOT_FOUND, 0}, {}, -1, ENOENT},
    {"invalid name", {ERROR_INVALID_NAME, 0}, {}, -1, ENOENT},
    {"not a folder", {ERROR_DIRECTORY, 0}, {}, -1, ENOTDIR},
    {"not enough memory", {ERROR_NOT_ENOUGH_MEMORY, 0}, {}, -1, ENOMEM},
    {"out of memory", {ERROR_OUTOFMEMORY, 0}, {}, -1, ENOMEM},
    {"access denied", {ERROR_ACCESS_DENIED, 0}, {}, -1, EACCES},
    {"name too long", {ERROR_FILENAME_EXCED_RANGE, 0}, {}, -1, ENAMETOOLONG},
    {"any other error", {ERROR_SHARING_VIOLATION, 0}, {}, -1, EINVAL},
    {"breaks at the second entry", {}, {ERROR_ACCESS_DENIED, 0}, 1, EACCES},
    // A network folder whose share goes away while it is listed.
    {"breaks part-way", {}, {ERROR_NETNAME_DELETED, 2}, 3, EINVAL},
    {"ends early", {}, {ERROR_NO_MORE_FILES, 2}, 3, 0},
    // No room left for the "\\*" of the search pattern.
    {"path too long", {}, {}, -1, ENAMETOOLONG, "C:\\" + std::string(MAX_PATH - 3, 'x')},
};

TEST_F(Scripted, ListingReportsErrorsAsOpendirAndReaddir) {
    const fs::path dir = fs::temp_directory_path() / ("upm scripted listing " + process_tag());
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const char *name : {"Quarnel_App_12_7.bin", "b.txt", "c.txt"}) std::ofstream(dir / name) << "x";
    for (const ListingCase &row : kListingCases) {
        reset_win32_script();
        win32Script.findFirstFile = row.findFirstFile;
        win32Script.findNextFile = row.findNextFile;
        errno = 0;
        const std::string folder = row.folder.empty() ? dir.string() : row.folder;
        FolderListing *listing = platform_open_folder(folder.c_str());
        int entries = -1;
        int error = errno;
        if (listing != nullptr) {
            entries = 0;
            while (platform_next_folder_entry(listing) != nullptr) ++entries;
            error = errno;
            platform_close_folder(listing);
        }
        EXPECT_EQ(entries, row.entriesBefore) << row.name;
        EXPECT_EQ(error, row.expectedErrno) << row.name;
    }
    fs::remove_all(dir);
}

// A known board on COM3 and a device of the ports class without a friendly
// name (a modem, say), as SetupAPI lists them.
const ScriptedPort kPorts[] = {
    {"USB\\VID_3C7E&PID_5102&REV_0100", "USB Serial Device (COM3)"},
    {"ACPI\\PNP0501", nullptr},
};

// The device set not to be had, or the memory the platform file asks for
// beside it or for a listing: that call fails as its caller expects, and
// detection finds no board where one is plugged in.
TEST_F(Scripted, NoDeviceSetOrNoMemoryFailsTheCall) {
    const struct {
        const char *name;
        Win32Fault classDevs, allocation;
        int expectedBoards;
    } rows[] = {
        {"the set to be had", {}, {}, 1},
        {"no device set", {ERROR_NOT_ENOUGH_MEMORY, 0}, {}, 0},
        {"no memory beside it", {}, {ERROR_NOT_ENOUGH_MEMORY, 0}, 0},
    };
    for (const auto &row : rows) {
        reset_win32_script();
        win32Script.ports = kPorts;
        win32Script.portCount = 2;
        win32Script.classDevs = row.classDevs;
        win32Script.allocation = row.allocation;
        DetectedBoard boards[kMaxBoards] = {};
        EXPECT_EQ(detectBoards(boards, kMaxBoards, knownAppBoards, kAppBoardCount), row.expectedBoards)
            << row.name;
    }
    win32Script.allocation = {ERROR_NOT_ENOUGH_MEMORY, 0};
    errno = 0;
    EXPECT_EQ(platform_open_folder(fs::temp_directory_path().string().c_str()), nullptr);
    EXPECT_EQ(errno, ENOMEM);
}

enum PortCall { EXISTS, HARDWARE_ID, FRIENDLY_NAME };

// One set, asked in this order: as detection asks (each device, then its
// properties), and out of that order, where each answer must still be the
// named device's, never the last one enumerated.
const struct PortStep {
    const char *name;
    PortCall call;
    int index;
    size_t size;
    bool expected;
    std::string expectedText;  // terminators included
} kPortSteps[] = {
    {"the first device", EXISTS, 0, 0, true, ""},
    {"its IDs", HARDWARE_ID, 0, 256, true, "USB\\VID_3C7E&PID_5102&REV_0100\0\0"s},
    {"the second's name, never enumerated: it has none", FRIENDLY_NAME, 1, 256, false, ""},
    {"back to the first, no enumeration between", FRIENDLY_NAME, 0, 256, true,
     "USB Serial Device (COM3)\0"s},
    {"the second's IDs", HARDWARE_ID, 1, 256, true, "ACPI\\PNP0501\0\0"s},
    {"a name one byte longer than the buffer", FRIENDLY_NAME, 0, 24, false, ""},
    {"past the last device", EXISTS, 2, 0, false, ""},
    {"a property past the last", HARDWARE_ID, 2, 256, false, ""},
    {"before the first", EXISTS, -1, 0, false, ""},
};

TEST_F(Scripted, EachPropertyIsTheNamedDevices) {
    win32Script.ports = kPorts;
    win32Script.portCount = 2;
    PortDeviceSet *set = platform_open_port_devices();
    ASSERT_NE(set, nullptr);
    for (const PortStep &step : kPortSteps) {
        char buffer[256];
        memset(buffer, 'x', sizeof buffer);
        const PortProperty property = step.call == HARDWARE_ID ? PORT_HARDWARE_ID : PORT_FRIENDLY_NAME;
        const bool answer = step.call == EXISTS
                                ? platform_port_device_exists(set, step.index)
                                : platform_read_port_property(set, step.index, property, buffer, step.size);
        EXPECT_EQ(answer, step.expected) << step.name;
        if (answer && step.call != EXISTS) {
            EXPECT_EQ(std::string(buffer, step.expectedText.size()), step.expectedText) << step.name;
        }
    }
    platform_close_port_devices(set);
}

const char kCodePageLine[] =
    "This program's folder has characters that this system's code page cannot hold: move it to"
    " a folder whose name has none, for example C:\\Flash\n";

struct PathCase {
    const char *name;
    UINT codePage;
    std::wstring programPath;
    std::wstring shortPath;  // empty: the system's own answer (none, for these made-up paths)
    Win32Fault moduleFileNameW;
    Win32Fault shortPathNameW;
    std::string expectedPath;
    bool codePageLine;
};

const std::wstring kPolish = L"C:\\Users\\Dvo\u0159\u00e1k\\\u0141\u00f3d\u017a firmware\\Up.exe";
const std::wstring kRussian = L"C:\\\u041f\u0440\u043e\u0448\u0438\u0432\u043a\u0430\\Up.exe";
const std::string kRussianAsAnsi = "C:\\????????\\Up.exe";

std::wstring repeated(const std::wstring &text, int times) {
    std::wstring all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}
const std::wstring kFoldersOfThree = L"C:" + repeated(L"\\\u041f b", 60) + L"\\Up.exe";  // 249
const std::wstring kTheirShortNames = L"C:" + repeated(L"\\_B~1", 60) + L"\\Up.exe";    // 309
const std::string kFoldersOfThreeAsAnsi = [] {
    std::string all = "C:";
    for (int i = 0; i < 60; ++i) all += "\\? b";
    return all + "\\Up.exe";
}();

// Windows 1252 is the code page of Western Windows; 65001 the system-wide
// UTF-8 of Windows 10 1903 and later ("Beta: Use Unicode UTF-8 for worldwide
// language support"), where every path fits.
const PathCase kPathCases[] = {
    {"held by the code page", 1252, L"C:\\Mise \u00e0 jour\\Up.exe", L"C:\\MISEJO~1\\Up.exe", {}, {},
     "C:\\Mise \xe0 jour\\Up.exe", false},
    // The A calls best-fit these letters to others (Dvorak, Lodz): a path of
    // another folder, which does not exist.
    {"best-fit letters go by the short name", 1252, kPolish, L"C:\\Users\\DVOK~1\\ODZFIR~1\\Up.exe",
     {}, {}, "C:\\Users\\DVOK~1\\ODZFIR~1\\Up.exe", false},
    // Japanese Windows: two bytes a letter, too long for the A path's buffer.
    {"double-byte path too long", 932, L"C:\\" + std::wstring(140, L'\u56fa') + L"\\Up.exe",
     L"C:\\5F5D~1\\Up.exe", {}, {}, "C:\\5F5D~1\\Up.exe", false},
    {"UTF-8 holds every path", 65001, kPolish, L"C:\\Users\\DVOK~1\\ODZFIR~1\\Up.exe", {}, {},
     u8"C:\\Users\\Dvo\u0159\u00e1k\\\u0141\u00f3d\u017a firmware\\Up.exe", false},
    // 8.3 names switched off on the volume: the short form is the long one.
    {"no short name", 1252, kRussian, kRussian, {}, {}, kRussianAsAnsi, true},
    {"short name not to be had", 1252, kRussian, L"", {}, {ERROR_ACCESS_DENIED, 0},
     kRussianAsAnsi, true},
    // Without the wide path nothing better can be found: the A path as it is.
    {"wide path not to be had", 1252, kRussian, L"", {ERROR_NOT_ENOUGH_MEMORY, 0}, {},
     kRussianAsAnsi, false},
    // Each "\u041f b" folder's short name is "_B~1", a letter longer: the
    // short form outgrows the buffer the long one fits in, and names nothing.
    {"short form longer than the buffer", 1252, kFoldersOfThree, kTheirShortNames, {}, {},
     kFoldersOfThreeAsAnsi, true},
    // A cut wide path names no file, so no short form of it either: the A
    // path, cut as well, without the line.
    {"wide path cut", 1252, L"C:\\" + std::wstring(300, L'\u041f'), L"", {}, {},
     "C:\\" + std::string(256, '?'), false},
};

TEST_F(Scripted, ProgramPathInTheFormTheCodePageHolds) {
    for (const PathCase &row : kPathCases) {
        reset_win32_script();
        win32Script.codePage = row.codePage;
        win32Script.programPath = row.programPath.c_str();
        win32Script.shortPath = row.shortPath.empty() ? nullptr : row.shortPath.c_str();
        win32Script.moduleFileNameW = row.moduleFileNameW;
        win32Script.shortPathNameW = row.shortPathNameW;
        char path[kPathCapacity];
        ::testing::internal::CaptureStderr();
        platform_program_path(path, sizeof path);
        std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::string(path), row.expectedPath) << row.name;
        EXPECT_EQ(said, row.codePageLine ? kCodePageLine : "") << row.name;
    }
}

}  // namespace
