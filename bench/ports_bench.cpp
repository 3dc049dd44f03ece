// Listing serial ports with their USB IDs on one umockdev testbed: our
// detection through the Linux port reader, libserialport in this process and
// pyserial in a python3 child that inherits the testbed.
#include <benchmark/benchmark.h>
#include <libserialport.h>
#include <umockdev.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench.h"
#include "boards.h"

extern char **environ;

namespace {

const int kPortCounts[] = {1, 16, 64, 256};

struct Testbed {
    UMockdevTestbed *bed;
    int ports;
} testbed = {nullptr, -1};

// One CDC-ACM port: USB device, its interface, and the tty below it. The last
// port is a known board; the others are common adapters no table row matches,
// so every reader has to walk all of them.
void add_port(const char *hub, int index, bool knownBoard) {
    char device[32], interface[32], tty[32], devnum[16];
    snprintf(device, sizeof device, "1-%d", index + 1);
    snprintf(interface, sizeof interface, "1-%d:1.0", index + 1);
    snprintf(tty, sizeof tty, "ttyACM%d", index);
    snprintf(devnum, sizeof devnum, "%d", index + 2);
    gchar *devicePath = umockdev_testbed_add_device(
        testbed.bed, "usb", device, hub, "idVendor", knownBoard ? "3c7e" : "0403", "idProduct",
        knownBoard ? "5104" : "6001", "bcdDevice", "0100", "busnum", "1", "devnum", devnum,
        "bNumInterfaces", " 1", "manufacturer", "Maker", "product", "Serial", "serial", tty,
        nullptr, "DEVTYPE", "usb_device", nullptr);
    gchar *interfacePath = umockdev_testbed_add_device(testbed.bed, "usb", interface, devicePath,
                                                       "bInterfaceNumber", "00", nullptr,
                                                       "DEVTYPE", "usb_interface", nullptr);
    gchar *ttyPath = umockdev_testbed_add_device(testbed.bed, "tty", tty, interfacePath, nullptr,
                                                 nullptr);
    // umockdev gives a class device no "device" link; the kernel's points at
    // the USB interface the tty belongs to.
    gchar *root = umockdev_testbed_get_root_dir(testbed.bed);
    char link[PATH_MAX];
    snprintf(link, sizeof link, "%s%s/device", root, ttyPath);
    if (symlink("..", link) != 0) perror("symlink");
    g_free(root);
    g_free(ttyPath);
    g_free(interfacePath);
    g_free(devicePath);
}

// The detection the program runs at start, against the app-board table.
int detect_app_boards() {
    DetectedBoard boards[10];
    return detectBoards(boards, 10, knownAppBoards, 4);
}

// Ports that came with USB IDs, or -1 when the list cannot be had.
int list_with_libserialport() {
    struct sp_port **ports;
    if (sp_list_ports(&ports) != SP_OK) return -1;
    int withIds = 0;
    for (int i = 0; ports[i] != nullptr; ++i) {
        int vendor, product;
        if (sp_get_port_usb_vid_pid(ports[i], &vendor, &product) == SP_OK && vendor != 0) ++withIds;
    }
    sp_free_port_list(ports);
    return withIds;
}

bool skip_without_testbed(benchmark::State &state, int ports) {
    if (use_testbed(ports)) return false;
    state.SkipWithError("needs umockdev-wrapper");
    return true;
}

void BM_Ours(benchmark::State &state, int ports) {
    if (skip_without_testbed(state, ports)) return;
    int found = 0;
    for (auto _ : state) found = detect_app_boards();
    if (found != 1) state.SkipWithError("the known board was not detected");
    state.counters["ports"] = ports;
}

void BM_Libserialport(benchmark::State &state, int ports) {
    if (skip_without_testbed(state, ports)) return;
    int withIds = 0;
    for (auto _ : state) withIds = list_with_libserialport();
    if (withIds != ports) state.SkipWithError("libserialport missed ports");
    state.counters["ports"] = ports;
}

// Each iteration is one python3 run that times comports() itself, so the
// interpreter's start is left out.
void BM_Pyserial(benchmark::State &state, int ports) {
    if (skip_without_testbed(state, ports)) return;
    char *argv[] = {const_cast<char *>(UPM_PYTHON), const_cast<char *>(UPM_PYSERIAL_SCRIPT),
                    nullptr};
    int withIds = -1;
    for (auto _ : state) {
        Child child;
        char text[256];
        double calls = 0, seconds = 0;
        if (!spawn_piped(argv, environ, &child)) return state.SkipWithError("cannot start python3");
        read_until(child.output, "\n", text, sizeof text);
        finish_child(&child);
        if (sscanf(text, "%lf %lf %d", &calls, &seconds, &withIds) != 3 || calls <= 0) {
            return state.SkipWithError("pyserial gave no timing");
        }
        state.SetIterationTime(seconds / calls);
    }
    if (withIds != ports) state.SkipWithError("pyserial missed ports");
    state.counters["ports"] = ports;
}

// The same detection on this machine's own /sys, outside any testbed.
void BM_ThisMachine(benchmark::State &state) {
    if (use_testbed(0)) return state.SkipWithError("run without umockdev-wrapper");
    for (auto _ : state) benchmark::DoNotOptimize(detect_app_boards());
}

}  // namespace

bool use_testbed(int ports) {
    // Without the preload a testbed would change nothing the readers see.
    const char *preload = getenv("LD_PRELOAD");
    if (preload == nullptr || strstr(preload, "umockdev") == nullptr) return false;
    if (testbed.bed != nullptr && testbed.ports == ports) return true;
    release_testbed();
    testbed.bed = umockdev_testbed_new();
    if (testbed.bed == nullptr) return false;
    testbed.ports = ports;
    if (ports == 0) return true;
    // "usb" in the path is how libserialport tells a USB port.
    gchar *hub = umockdev_testbed_add_device(testbed.bed, "usb", "usb1", nullptr, nullptr,
                                             "DEVTYPE", "usb_device", nullptr);
    for (int i = 0; i < ports; ++i) add_port(hub, i, i == ports - 1);
    g_free(hub);
    return true;
}

void release_testbed() {
    if (testbed.bed != nullptr) g_object_unref(testbed.bed);
    testbed.bed = nullptr;
}

void register_port_benchmarks() {
    benchmark::RegisterBenchmark("ports/this-machine", BM_ThisMachine)->Unit(benchmark::kMicrosecond);
    char name[64];
    // Size by size, so the three readers share each testbed in one run.
    for (int ports : kPortCounts) {
        snprintf(name, sizeof name, "ports/ours/%d", ports);
        benchmark::RegisterBenchmark(name, BM_Ours, ports)->Unit(benchmark::kMicrosecond);
        snprintf(name, sizeof name, "ports/libserialport/%d", ports);
        benchmark::RegisterBenchmark(name, BM_Libserialport, ports)->Unit(benchmark::kMicrosecond);
        snprintf(name, sizeof name, "ports/pyserial/%d", ports);
        benchmark::RegisterBenchmark(name, BM_Pyserial, ports)
            ->Unit(benchmark::kMicrosecond)
            ->UseManualTime()
            ->Iterations(3);
    }
}
