// The real launch of the flashing tool, on either system, with the stand-in
// tool (tests/e2e/fake_bossac) in the tool's place: each field arrives as one
// argument, whatever the paths hold; the launch returns only once the tool
// has ended; and the launch error numbers are the system's.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <sys/time.h>
#endif

#include "platform.h"
#include "process_tag.h"
#include "upload.h"

namespace fs = std::filesystem;

namespace {

const bool kWindows = kFolderSeparator == '\\';

enum ToolKind {
    STAND_IN,
    NO_TOOL,
    NOT_A_PROGRAM,   // a text file with the tool's name, like a tool built for another machine
    NOT_EXECUTABLE,  // the stand-in without the right to run it
};

// What else happens while the launch waits for the tool's end.
enum Meanwhile {
    NOTHING,
    SIGNAL_CAUGHT,     // a signal whose handler returns interrupts the wait
    CHILDREN_REAPED,   // SIGCHLD ignored, as a parent may hand it on: the system reaps the tool
};

struct LaunchCase {
    const char *name;
    ToolKind tool;
    const char *exitText;  // how the stand-in ends ($UPM_FAKE_BOSSAC_EXIT)
    bool expectedRun;
    unsigned long linuxError, windowsError;
    bool posixOnly;
    Meanwhile meanwhile = NOTHING;
};

void PrintTo(const LaunchCase &c, std::ostream *os) { *os << c.name; }

const LaunchCase kLaunchCases[] = {
    {"ToolRuns", STAND_IN, "0", true, 0, 0, false},
    {"ToolExitsNonZeroStillRan", STAND_IN, "3", true, 0, 0, false},
    {"ToolEndedBySignalStillRan", STAND_IN, "signal", true, 0, 0, false},
    // ENOENT; ERROR_FILE_NOT_FOUND.
    {"ToolMissing", NO_TOOL, "0", false, 2, 2, false},
    // ENOEXEC; ERROR_BAD_EXE_FORMAT.
    {"ToolOfAnotherMachine", NOT_A_PROGRAM, "0", false, 8, 193, false},
    // EACCES; Windows has no such mode.
    {"ToolNotExecutable", NOT_EXECUTABLE, "0", false, 13, 0, true},
    // waitpid fails with EINTR, and again once the tool has ended with ECHILD:
    // neither is the tool's end.
    {"SignalDuringTheWait", STAND_IN, "0", true, 0, 0, true, SIGNAL_CAUGHT},
    {"ToolReapedBySystem", STAND_IN, "0", true, 0, 0, true, CHILDREN_REAPED},
};

// The stand-in makes the launch wait this long before it leaves its mark at
// its very end.
const char kWaitBeforeItEnds[] = "UPM_FAKE_BOSSAC_WAIT_MS=300";

// path as the program's own texts hold it: in the ANSI code page on Windows,
// where std::filesystem's narrow texts are UTF-8 (MinGW) or another code
// page; the file name's own bytes elsewhere.
std::string program_text(const fs::path &path) {
#ifdef _WIN32
    char text[4 * kPathCapacity];
    int length = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, text, static_cast<int>(sizeof text),
                                     nullptr, nullptr);
    return length > 0 ? std::string(text) : std::string();
#else
    return path.string();
#endif
}

#ifndef _WIN32
void return_at_once(int) {}

// A signal 100 ms into the stand-in's 300 ms wait, its handler installed
// without SA_RESTART; or SIGCHLD ignored. Undone by meanwhile(NOTHING).
void meanwhile(Meanwhile what) {
    struct sigaction action = {};
    action.sa_handler = what == SIGNAL_CAUGHT ? return_at_once : SIG_DFL;
    sigaction(SIGALRM, &action, nullptr);
    const itimerval once = {{0, 0}, {0, what == SIGNAL_CAUGHT ? 100000 : 0}};
    setitimer(ITIMER_REAL, &once, nullptr);
    signal(SIGCHLD, what == CHILDREN_REAPED ? SIG_IGN : SIG_DFL);
}
#else
void meanwhile(Meanwhile) {}
#endif

// The stand-in, UPM_STAND_IN_TOOL from this test program's folder.
fs::path stand_in_tool() {
    char self[kPathCapacity];
    platform_program_path(self, sizeof self);
    return fs::path(self).parent_path() / UPM_STAND_IN_TOOL;
}

std::vector<std::string> lines_of(const fs::path &file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A program folder whose path holds spaces, '%', a letter beyond ASCII that
// the code page has, and double quotes where the system allows them.
class ToolLaunchTest : public ::testing::TestWithParam<LaunchCase> {
  protected:
    void SetUp() override {
        const std::string name = u8"upm launch %s 100% Mise \u00e0 jour " + process_tag() + " " +
                                 GetParam().name + (kWindows ? "" : " \"quoted\"");
        programDir = fs::temp_directory_path() / fs::u8path(name);
        fs::remove_all(programDir);
        fs::create_directories(programDir / "Bossac" / "1.9.1");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(programDir, ignored);
    }
    fs::path programDir;
};

TEST_P(ToolLaunchTest, PassesEachFieldAsOneArgumentAndReturnsOnceTheToolHasEnded) {
    const LaunchCase &c = GetParam();
    if (c.posixOnly && kWindows) GTEST_SKIP() << "POSIX file modes only";
    const fs::path toolFolder = programDir / "Bossac" / "1.9.1";
    const fs::path tool = toolFolder / kFlashToolFileName;
    if (c.tool == STAND_IN || c.tool == NOT_EXECUTABLE) fs::copy_file(stand_in_tool(), tool);
    if (c.tool == NOT_A_PROGRAM) {
        std::ofstream(tool) << "not a program\n";
        fs::permissions(tool, fs::perms::owner_exec, fs::perm_options::add);
    }
    if (c.tool == NOT_EXECUTABLE) {
        fs::permissions(tool, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
    }

    // putenv keeps the text itself: static, one per variable.
    static char exitVariable[64], logVariable[] = "UPM_FAKE_BOSSAC_LOG=";
    static char waitVariable[sizeof kWaitBeforeItEnds];
    snprintf(exitVariable, sizeof exitVariable, "UPM_FAKE_BOSSAC_EXIT=%s", c.exitText);
    snprintf(waitVariable, sizeof waitVariable, "%s", kWaitBeforeItEnds);
    putenv(exitVariable);
    putenv(waitVariable);
    putenv(logVariable);  // its log beside it

    const std::string folder = program_text(programDir);
    const std::string image = folder + kFolderSeparator +
                              (kWindows ? "Quarnel_App_13_1 %d.bin" : "Quarnel_App_13_1 %d \"x\".bin");
    char toolPath[512], command[1024];
    ToolLaunch launch;
    build_tool_launch(folder.c_str(), "COM7", image.c_str(), toolPath, sizeof toolPath, command,
                      sizeof command, &launch);
    unsigned long error = 0;
    meanwhile(c.meanwhile);
    const bool ran = platform_run_tool(&launch, &error);
    meanwhile(NOTHING);
    ASSERT_EQ(ran, c.expectedRun);
    EXPECT_EQ(error, kWindows ? c.windowsError : c.linuxError);
    using Lines = std::vector<std::string>;
    const Lines arguments = {toolPath, "--port=COM7", "-i", "-e", "-w", "-v",
                             image, "--offset=0x2000", "-R"};
    EXPECT_EQ(lines_of(toolFolder / "bossac-args.txt"), c.expectedRun ? arguments : Lines{});
    // The stand-in's last act, after its wait: there as the launch returns,
    // or the driver's closing prompt would come while the tool still writes.
    EXPECT_EQ(lines_of(toolFolder / "bossac-end.txt"), c.expectedRun ? Lines{"ended"} : Lines{});
}

INSTANTIATE_TEST_SUITE_P(Cases, ToolLaunchTest, ::testing::ValuesIn(kLaunchCases),
                         [](const auto &row) { return std::string(row.param.name); });

}  // namespace
