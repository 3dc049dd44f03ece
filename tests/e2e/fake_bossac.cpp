// Stand-in for the flashing tool in end-to-end runs. It does no flashing: it
// appends the arguments it was given, one per line, to a log so the runner
// can check that every field arrived as one argument. On Windows it also
// keeps the raw command line, which is what CreateProcessA really passes.
//
// It also notes whether the image it was given can be opened, as the real
// tool must open it: the path may be one the program had to make up.
//
// Log: $UPM_FAKE_BOSSAC_LOG, else "bossac-args.txt" beside this program.
// Windows raw line: "bossac-cmdline.txt" beside this program.
// Image: "opened" or "not opened" in "bossac-image.txt" beside this program.
// Exit status: $UPM_FAKE_BOSSAC_EXIT, else 0; "signal": it ends by SIGTERM.
//
// Its last act, after a wait of $UPM_FAKE_BOSSAC_WAIT_MS milliseconds (none
// by default), is to append "ended" to "bossac-end.txt" beside it: a caller
// that returns before the tool has ended finds no such line.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr size_t kPathCapacity = 4096;

// fileName in this program's folder, as the path it was started by names
// it: the program always gives the full path, in a form the code page can
// hold, where the system's own answer (GetModuleFileNameA) may have '?' for
// letters the code page lacks.
void path_beside_me(const char *startedAs, const char *fileName, char *path, size_t size) {
    const char *cut = startedAs;
    for (const char *c = startedAs; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') cut = c + 1;
    }
    snprintf(path, size, "%.*s%s", static_cast<int>(cut - startedAs), startedAs, fileName);
}

bool append_lines(const char *path, int count, const char *const *lines) {
    FILE *log = fopen(path, "ab");
    if (log == nullptr) return false;
    for (int i = 0; i < count; ++i) {
        fputs(lines[i], log);
        fputc('\n', log);
    }
    return fclose(log) == 0;
}

// The file operand is the last argument that is no option; the options
// come first, and a port name cut at its spaces leaves extra words before it.
const char *image_argument(int argc, char **argv) {
    for (int i = argc - 1; i > 0; --i) {
        if (argv[i][0] != '-') return argv[i];
    }
    return nullptr;
}

bool can_open(const char *path) {
    FILE *file = path != nullptr ? fopen(path, "rb") : nullptr;
    if (file == nullptr) return false;
    fclose(file);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    char path[kPathCapacity];
    const char *logPath = getenv("UPM_FAKE_BOSSAC_LOG");
    if (logPath != nullptr && logPath[0] != '\0') {
        snprintf(path, sizeof path, "%s", logPath);
    } else {
        path_beside_me(argv[0], "bossac-args.txt", path, sizeof path);
    }
    if (!append_lines(path, argc, argv)) return 99;
#ifdef _WIN32
    const char *commandLine = GetCommandLineA();
    path_beside_me(argv[0], "bossac-cmdline.txt", path, sizeof path);
    if (!append_lines(path, 1, &commandLine)) return 99;
#endif
    const char *opened = can_open(image_argument(argc, argv)) ? "opened" : "not opened";
    path_beside_me(argv[0], "bossac-image.txt", path, sizeof path);
    if (!append_lines(path, 1, &opened)) return 99;
    const char *waitText = getenv("UPM_FAKE_BOSSAC_WAIT_MS");
    if (waitText != nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(atoi(waitText)));
    const char *ended = "ended";
    path_beside_me(argv[0], "bossac-end.txt", path, sizeof path);
    if (!append_lines(path, 1, &ended)) return 99;
    const char *exitText = getenv("UPM_FAKE_BOSSAC_EXIT");
    if (exitText != nullptr && strcmp(exitText, "signal") == 0) raise(SIGTERM);
    return exitText != nullptr ? atoi(exitText) : 0;
}
