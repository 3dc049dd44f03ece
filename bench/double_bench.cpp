// upm_bench_double: detection through the scripted double, so the cost of the
// matching itself shows without any OS call. A program of its own because the
// double and the Linux platform file define the same functions.
#include <benchmark/benchmark.h>

#include "boards.h"
#include "fake_platform.h"

namespace {

// Common adapters that no table row matches, and the known board last, so
// the whole list is walked.
std::vector<FakeDevice> ports(int count) {
    std::vector<FakeDevice> devices;
    for (int i = 0; i < count; ++i) {
        const char *vidpid = i == count - 1 ? "VID_3C7E&PID_5104" : "VID_0403&PID_6001";
        std::string name = "USB Serial Device (COM" + std::to_string(i + 3) + ")";
        devices.push_back({usb_hardware_id(vidpid), friendly(name.c_str())});
    }
    return devices;
}

void BM_DetectDouble(benchmark::State &state) {
    reset_fake_platform();
    fake.detections.assign(1, ports(static_cast<int>(state.range(0))));
    DetectedBoard boards[10];
    int found = 0;
    for (auto _ : state) {
        fake.detectionsDone = 0;
        fake.events.clear();
        found = detectBoards(boards, 10, knownAppBoards, 4);
    }
    if (found != 1) state.SkipWithError("the known board was not detected");
    state.counters["ports"] = static_cast<double>(state.range(0));
}

}  // namespace

BENCHMARK(BM_DetectDouble)->Name("ports/double")->Arg(1)->Arg(16)->Arg(64)->Arg(256);
BENCHMARK_MAIN();
