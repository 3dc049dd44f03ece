// Stand-in for the flashing tool in end-to-end runs. It does no flashing: it
// appends the arguments it was given, one per line, to a log so the runner
// can check that every field arrived as one argument. On Windows it also
// keeps the raw command line, which is what CreateProcessA really passes.
//
// Log: $UPM_FAKE_BOSSAC_LOG, else "bossac-args.txt" beside this program.
// Windows raw line: "bossac-cmdline.txt" beside this program.
// Exit status: $UPM_FAKE_BOSSAC_EXIT, else 0.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <climits>
#include <unistd.h>
#endif

namespace {

constexpr size_t kPathCapacity = 4096;

// Folder of this program's file, with its trailing separator.
void own_folder(char *folder, size_t size) {
    folder[0] = '\0';
#ifdef _WIN32
    DWORD length = GetModuleFileNameA(nullptr, folder, static_cast<DWORD>(size));
    folder[length < size ? length : size - 1] = '\0';
#else
    ssize_t length = readlink("/proc/self/exe", folder, size - 1);
    folder[length < 0 ? 0 : length] = '\0';
#endif
    char *cut = nullptr;
    for (char *c = folder; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') cut = c;
    }
    if (cut != nullptr) cut[1] = '\0';
}

void path_beside_me(const char *fileName, char *path, size_t size) {
    char folder[kPathCapacity];
    own_folder(folder, sizeof folder);
    snprintf(path, size, "%s%s", folder, fileName);
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

}  // namespace

int main(int argc, char **argv) {
    char path[kPathCapacity];
    const char *logPath = getenv("UPM_FAKE_BOSSAC_LOG");
    if (logPath != nullptr && logPath[0] != '\0') {
        snprintf(path, sizeof path, "%s", logPath);
    } else {
        path_beside_me("bossac-args.txt", path, sizeof path);
    }
    if (!append_lines(path, argc, argv)) return 99;
#ifdef _WIN32
    const char *commandLine = GetCommandLineA();
    path_beside_me("bossac-cmdline.txt", path, sizeof path);
    if (!append_lines(path, 1, &commandLine)) return 99;
#endif
    const char *exitText = getenv("UPM_FAKE_BOSSAC_EXIT");
    return exitText != nullptr ? atoi(exitText) : 0;
}
