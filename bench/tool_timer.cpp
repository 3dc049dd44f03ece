// Stands where bossac.exe goes in the program's folder during the Wine
// benchmark: runs the real tool (UPM_TIMED_TOOL) with the arguments it was
// given and appends when the tool started and ended, in seconds, to
// UPM_TIMED_LOG. A shell script cannot do this under Wine, which starts a
// Unix script but does not wait for it. flash_bench.py builds it with MinGW.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

double seconds_now() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The command line after this program's own name, exactly as it was given.
const char *arguments_after_name(const char *line) {
    if (*line == '"') {
        const char *closing = strchr(line + 1, '"');
        return closing != nullptr ? closing + 1 : "";
    }
    while (*line != '\0' && *line != ' ' && *line != '\t') ++line;
    return line;
}

}  // namespace

int main() {
    const char *tool = getenv("UPM_TIMED_TOOL");
    const char *log = getenv("UPM_TIMED_LOG");
    if (tool == nullptr || log == nullptr) return 125;
    char command[8192];
    snprintf(command, sizeof command, "\"%s\"%s", tool, arguments_after_name(GetCommandLineA()));
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof pi);
    double start = seconds_now();
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        return 127;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    double end = seconds_now();
    DWORD status = 1;
    GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    FILE *times = fopen(log, "a");
    if (times != nullptr) {
        fprintf(times, "%.6f\n%.6f\n", start, end);
        fclose(times);
    }
    return static_cast<int>(status);
}
