#include <cstdio>

#include "platform.h"
#include "upload.h"

namespace {

constexpr int kAttempts = 3;
constexpr unsigned kBootloaderStartMs = 1000;
constexpr size_t kCommandCapacity = 1024;
constexpr size_t kPortNameCapacity = 20;

// Returns true once the tool has run; false when it could not be started.
bool flash_on_port(const char *currentDir, const char *comPort, const char *binFile) {
    char toolPath[kPathCapacity + 32];
    char command[kCommandCapacity];
    ToolLaunch launch;
    build_tool_launch(currentDir, comPort, binFile, toolPath, sizeof toolPath, command,
                      sizeof command, &launch);
    // Written as text, not as a format: paths may hold '%'.
    fputs(command, stdout);
    fputc('\n', stdout);
    unsigned long errorNumber = 0;
    if (platform_run_tool(&launch, &errorNumber)) return true;
    printf("Erreur during execution: %lu\n", errorNumber);
    return false;
}

}  // namespace

void build_tool_launch(const char *currentDir, const char *comPort, const char *binFile,
                       char *toolPath, size_t toolPathSize, char *command, size_t commandSize,
                       ToolLaunch *launch) {
    snprintf(toolPath, toolPathSize, "%s/Bossac/1.9.1/%s", currentDir, kFlashToolFileName);
    snprintf(command, commandSize, "\"%s\" --port=%s -i -e -w -v \"%s\" --offset=0x2000 -R",
             toolPath, comPort, binFile);
    launch->commandLine = command;
    launch->toolPath = toolPath;
    launch->portName = comPort;
    launch->imagePath = binFile;
}

void run_flashing_phase(const char *currentDir, const char *binFile, DetectedBoard *boards) {
    int count = 0;
    for (int i = 0; i < kAttempts; ++i) {
        puts("Please double click on reset button, a red light should turn on. Press Enter after "
             "that...");
        platform_pause();
        platform_sleep_ms(kBootloaderStartMs);
        count = detectBoards(boards, kMaxBoards, knownBootloaders, kBootloaderCount);
        if (count == 0) {
            puts("No bootloader detected, maybe your double is too slow. Retry\n");
            continue;
        }
        char comPort[kPortNameCapacity];
        // The first bootloader found is flashed, whichever board it belongs to.
        snprintf(comPort, sizeof comPort, "%s", boards[0].portName);
        if (flash_on_port(currentDir, comPort, binFile)) break;
    }
    if (count == 0) {
        puts("No bootloader detected, maybe your double is too slow. Please relauch program");
    }
}
