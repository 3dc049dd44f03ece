// Image lookup in a crowded folder: time per lookup and file-status calls per
// lookup. The folder holds `files` unrelated names and 20 images, `matching`
// of them for the board looked up and the rest for the other boards.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench.h"
#include "firmware.h"

// The link wraps stat (-Wl,--wrap=stat) for our own objects only, so this
// counts the status calls the program makes and none of libc's own.
static long statusCalls;
extern "C" int __real_stat(const char *path, struct stat *status);
extern "C" int __wrap_stat(const char *path, struct stat *status) {
    ++statusCalls;
    return __real_stat(path, status);
}

namespace {

constexpr int kImages = 20;
constexpr char kBoard[] = "Harlun";
const char *const kOtherBoards[] = {"Bravik", "Quarnel", "Dovrel"};
// What a Downloads folder holds, with names that come close to an image's:
// ".bin" without the board prefix, and the prefix without ".bin".
const char *const kUnrelatedNames[] = {"IMG_%05d.jpg",   "report-%d.pdf",       "setup_%d.exe",
                                       "firmware_%d.bin", "Harlun_notes_%d.txt", "Harlun_App_%d.zip"};
constexpr int kUnrelatedKinds = sizeof kUnrelatedNames / sizeof kUnrelatedNames[0];

struct LookupWorld {
    char base[PATH_MAX];    // holds the folder and the answer file
    char folder[PATH_MAX];
    int files, matching;
} world;

void touch(const char *folder, const char *name) {
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s", folder, name);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) close(fd);
}

void write_text(const char *path, const char *text) {
    FILE *stream = fopen(path, "w");
    if (stream == nullptr) return;
    fputs(text, stream);
    fclose(stream);
}

// Builds the folder once per size; the cases run in registration order.
bool use_lookup_folder(int files, int matching) {
    if (world.base[0] != '\0' && world.files == files && world.matching == matching) return true;
    remove_lookup_folder();
    const char *tmp = getenv("TMPDIR");
    snprintf(world.base, sizeof world.base, "%s/upm-lookup-XXXXXX", tmp ? tmp : "/tmp");
    if (mkdtemp(world.base) == nullptr) {
        world.base[0] = '\0';
        return false;
    }
    snprintf(world.folder, sizeof world.folder, "%s/folder", world.base);
    if (mkdir(world.folder, 0755) != 0) return false;
    char name[NAME_MAX];
    for (int i = 0; i < files; ++i) {
        snprintf(name, sizeof name, kUnrelatedNames[i % kUnrelatedKinds], i);
        touch(world.folder, name);
    }
    for (int i = 0; i < kImages; ++i) {
        const char *board = i < matching ? kBoard : kOtherBoards[i % 3];
        snprintf(name, sizeof name, "%s_App_%d_%d.bin", board, 10 + i, i);
        touch(world.folder, name);
    }
    char answer[PATH_MAX];
    snprintf(answer, sizeof answer, "%s/answer", world.base);
    write_text(answer, "1\n");
    world.files = files;
    world.matching = matching;
    return freopen(answer, "r", stdin) != nullptr;
}

void BM_Lookup(benchmark::State &state, int files, int matching) {
    if (!use_lookup_folder(files, matching)) return state.SkipWithError("cannot build the folder");
    // The lookup prints its versions; they go nowhere while it is timed.
    fflush(stdout);
    int console = dup(STDOUT_FILENO);
    int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    long callsBefore = statusCalls;
    bool found = true;
    for (auto _ : state) {
        // Several images ask which one; the answer "1" is read again each time.
        if (matching > 1) rewind(stdin);
        char *image = find_matching_file(world.folder, kBoard);
        found = found && image != nullptr;
        free(image);
    }
    fflush(stdout);
    dup2(console, STDOUT_FILENO);
    close(console);
    close(devNull);
    if (!found) return state.SkipWithError("no image found");
    state.counters["status_calls"] = benchmark::Counter(
        static_cast<double>(statusCalls - callsBefore), benchmark::Counter::kAvgIterations);
    state.counters["matching_names"] = matching;
}

}  // namespace

void remove_lookup_folder() {
    if (world.base[0] == '\0') return;
    DIR *folder = opendir(world.folder);
    struct dirent *entry;
    while (folder != nullptr && (entry = readdir(folder)) != nullptr) {
        if (entry->d_name[0] != '.') unlinkat(dirfd(folder), entry->d_name, 0);
    }
    if (folder != nullptr) closedir(folder);
    rmdir(world.folder);
    char answer[PATH_MAX];
    snprintf(answer, sizeof answer, "%s/answer", world.base);
    unlink(answer);
    rmdir(world.base);
    world.base[0] = '\0';
}

void register_lookup_benchmarks() {
    const int kFiles[] = {10, 1000, 10000};
    const int kMatching[] = {1, 10};
    char name[64];
    for (int files : kFiles) {
        for (int matching : kMatching) {
            snprintf(name, sizeof name, "lookup/files:%d/matching:%d", files, matching);
            benchmark::RegisterBenchmark(name, BM_Lookup, files, matching)
                ->Unit(benchmark::kMicrosecond);
        }
    }
}
