// Start of the program to its first prompt: the real binary, stdin a pipe,
// timed until the first line of the letter menu arrives. No board is attached.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "bench.h"

extern char **environ;

namespace {

constexpr int kMaxEnvironment = 256;

// The environment without the preload, so the program starts as a user's
// would even when this process runs under umockdev-wrapper.
void environment_without_umockdev(char **kept) {
    int count = 0;
    for (char **entry = environ; *entry != nullptr && count < kMaxEnvironment - 1; ++entry) {
        if (strncmp(*entry, "LD_PRELOAD=", 11) == 0 || strncmp(*entry, "UMOCKDEV_DIR=", 13) == 0) {
            continue;
        }
        kept[count++] = *entry;
    }
    kept[count] = nullptr;
}

enum StartKind { kPlain, kUnderUmockdev, kFloor };

void BM_Start(benchmark::State &state, StartKind kind) {
    char *withoutUmockdev[kMaxEnvironment];
    environment_without_umockdev(withoutUmockdev);
    // Under umockdev an empty testbed: the program finds no port at all.
    if (kind == kUnderUmockdev && !use_testbed(0)) return state.SkipWithError("needs umockdev-wrapper");
    char **environment = kind == kUnderUmockdev ? environ : withoutUmockdev;
    // The floor: a program that prints the same line and does nothing else.
    char *program[] = {const_cast<char *>(UPM_PROGRAM), nullptr};
    char *floor[] = {const_cast<char *>("/bin/echo"), const_cast<char *>("[Q] Quarnel"), nullptr};
    char **argv = kind == kFloor ? floor : program;
    // On a busy machine the child waits for a core; the best run and the
    // child's own CPU time show the start without that wait.
    double best = 1e9, childCpu = 0;
    for (auto _ : state) {
        Child child;
        char text[512];
        auto start = std::chrono::steady_clock::now();
        if (!spawn_piped(argv, environment, &child)) return state.SkipWithError("cannot start");
        bool prompted = read_until(child.output, "[Q] Quarnel\n", text, sizeof text);
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        childCpu += finish_child(&child);
        if (!prompted) return state.SkipWithError("no letter menu");
        state.SetIterationTime(elapsed);
        best = std::min(best, elapsed);
    }
    state.counters["best_ms"] = best * 1e3;
    state.counters["child_cpu_ms"] =
        benchmark::Counter(childCpu * 1e3, benchmark::Counter::kAvgIterations);
}

}  // namespace

void register_start_benchmarks() {
    const struct {
        const char *name;
        StartKind kind;
    } kCases[] = {{"start/plain", kPlain}, {"start/floor", kFloor}, {"start/umockdev", kUnderUmockdev}};
    for (const auto &c : kCases) {
        benchmark::RegisterBenchmark(c.name, BM_Start, c.kind)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime();
    }
}
