// The real launch of the flashing tool: each field arrives as one argument,
// whatever the paths hold, and the launch error numbers are the system's.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform.h"
#include "simulated_ports.h"
#include "upload.h"

namespace {

struct LaunchCase {
    const char *name;
    // "": no "#!" line, a file the kernel cannot run (ENOEXEC), like a tool
    // built for another machine.
    const char *interpreterLine;
    const char *scriptEnd;  // last line of the stand-in tool; null: no tool at all
    mode_t mode;
    bool expectedRun;
    unsigned long expectedError;
};

void PrintTo(const LaunchCase &c, std::ostream *os) { *os << c.name; }

const LaunchCase kLaunchCases[] = {
    {"ToolRuns", "#!/bin/sh", "exit 0", 0755, true, 0},
    {"ToolExitsNonZeroStillRan", "#!/bin/sh", "exit 3", 0755, true, 0},
    {"ToolKilledBySignalStillRan", "#!/bin/sh", "kill -KILL $$", 0755, true, 0},
    {"ToolNotExecutable", "#!/bin/sh", "exit 0", 0644, false, 13},
    {"ToolMissing", "#!/bin/sh", nullptr, 0755, false, 2},
    // Executable by its mode, yet no program: the launch itself fails.
    {"ToolOfAnotherMachine", "", "exit 0", 0755, false, 8},
};

// A program folder whose path holds spaces, a '%' and a double quote.
class ToolLaunchTest : public ::testing::TestWithParam<LaunchCase> {
  protected:
    void SetUp() override {
        char base[] = "/tmp/upm-launch-XXXXXX";
        ASSERT_NE(mkdtemp(base), nullptr);
        baseDir = base;
        programDir = baseDir + "/Up %s 100% \"quoted\" dir";
        std::filesystem::create_directories(programDir + "/Bossac/1.9.1");
    }
    void TearDown() override { std::filesystem::remove_all(baseDir); }
    std::string baseDir, programDir;
};

void write_tool(const std::string &path, const LaunchCase &c) {
    std::ofstream(path) << c.interpreterLine << "\n"
                        << "printf '%s\\n' \"$0\" \"$@\" > \"$(dirname \"$0\")/arguments.txt\"\n"
                        << c.scriptEnd << "\n";
    chmod(path.c_str(), c.mode);
}

std::vector<std::string> recorded_arguments(const std::string &toolFolder) {
    std::ifstream file(toolFolder + "/arguments.txt");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

TEST_P(ToolLaunchTest, PassesEachFieldAsOneArgument) {
    const LaunchCase &c = GetParam();
    const std::string image = programDir + "/Quarnel_App_13_1 %d \"x\".bin";
    char toolPath[512], command[1024];
    ToolLaunch launch;
    build_tool_launch(programDir.c_str(), "ttyACM0", image.c_str(), toolPath, sizeof toolPath,
                      command, sizeof command, &launch);
    if (c.scriptEnd != nullptr) write_tool(toolPath, c);

    unsigned long error = 0;
    ASSERT_EQ(platform_run_tool(&launch, &error), c.expectedRun);
    EXPECT_EQ(error, c.expectedError);
    const std::vector<std::string> expected =
        c.expectedRun ? std::vector<std::string>{toolPath, "--port=ttyACM0", "-i", "-e", "-w", "-v",
                                                  image, "--offset=0x2000", "-R"}
                      : std::vector<std::string>{};
    EXPECT_EQ(recorded_arguments(programDir + "/Bossac/1.9.1"), expected);
}

INSTANTIATE_TEST_SUITE_P(Linux, ToolLaunchTest, ::testing::ValuesIn(kLaunchCases), RowName());

}  // namespace
