// Linux: sysfs for the serial ports, POSIX for the rest.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform.h"

extern char **environ;

const char kFolderSeparator = '/';
const char kPortNameMarker[] = "tty";
const char kFlashToolFileName[] = "bossac";

void platform_program_path(char *buffer, size_t size) {
    if (size == 0) return;
    ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    buffer[length < 0 ? 0 : length] = '\0';
}

// --- Serial ports from sysfs ------------------------------------------------------

namespace {

constexpr int kMaxPorts = 1024;
constexpr size_t kPortNodeCapacity = 64;
constexpr char kTtyClass[] = "/sys/class/tty";
// A tty's device is the USB interface (ttyACM) or a usb-serial port below it
// (ttyUSB); the USB device with idVendor sits one or two levels up.
constexpr int kMaxLevelsToUsbDevice = 5;

struct UsbIds {
    unsigned vendor, product, revision;
};

}  // namespace

struct PortDeviceSet {
    int count;
    char nodes[kMaxPorts][kPortNodeCapacity];
    // Both properties of a port depend on its USB IDs and detection asks for
    // them one after the other, so the last port's IDs are kept for the second.
    int idsIndex;  // -1 while none are kept
    bool idsFound;
    UsbIds ids;
};

namespace {

// Only ttys backed by hardware have a "device" link; virtual consoles and
// ptys have none.
bool has_device_link(const char *node) {
    char link[PATH_MAX];
    snprintf(link, sizeof link, "%s/%s/device", kTtyClass, node);
    struct stat status;
    return stat(link, &status) == 0;
}

int compare_nodes(const void *a, const void *b) {
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

// One open, one read and one close: sysfs attributes are a few bytes, and
// every port costs several of them at each detection.
bool read_small_file(const char *folder, const char *file, char *text, size_t size) {
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s", folder, file);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t length;
    do {
        length = read(fd, text, size - 1);
    } while (length < 0 && errno == EINTR);
    close(fd);
    if (length <= 0) return false;
    text[length] = '\0';
    return true;
}

bool read_hex_attribute(const char *folder, const char *file, unsigned *value) {
    char text[16];
    if (!read_small_file(folder, file, text, sizeof text)) return false;
    char *end;
    unsigned long parsed = strtoul(text, &end, 16);
    if (end == text || parsed > 0xFFFF) return false;
    *value = static_cast<unsigned>(parsed);
    return true;
}

// Climbs from the tty's device to the USB device that carries
// idVendor/idProduct by appending "/.." and letting the kernel resolve the
// links: realpath() would cost one readlink per component of the path.
bool find_usb_ids(const char *node, UsbIds *ids) {
    char folder[PATH_MAX];
    int length = snprintf(folder, sizeof folder, "%s/%s/device", kTtyClass, node);
    for (int level = 0; level <= kMaxLevelsToUsbDevice; ++level) {
        if (level > 0) {
            length += snprintf(folder + length, sizeof folder - static_cast<size_t>(length), "/..");
        }
        // GCOVR_EXCL_BR_START: a node name under 64 bytes and five "/.." never fill PATH_MAX
        if (static_cast<size_t>(length) >= sizeof folder) return false;
        // GCOVR_EXCL_BR_STOP
        if (read_hex_attribute(folder, "idVendor", &ids->vendor) &&
            read_hex_attribute(folder, "idProduct", &ids->product)) {
            if (!read_hex_attribute(folder, "bcdDevice", &ids->revision)) ids->revision = 0;
            return true;
        }
    }
    return false;
}

// The kernel's name for the bus the port sits on ("platform", "pnp", "pci").
void subsystem_of(const char *node, char *name, size_t size) {
    char link[PATH_MAX];
    char target[PATH_MAX];
    snprintf(link, sizeof link, "%s/%s/device/subsystem", kTtyClass, node);
    ssize_t length = readlink(link, target, sizeof target - 1);
    target[length < 0 ? 0 : length] = '\0';
    const char *slash = strrchr(target, '/');
    snprintf(name, size, "%s", length <= 0 ? "unknown" : slash ? slash + 1 : target);
    for (char *c = name; *c != '\0'; ++c) *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
}

// Writes the terminator that ends the list after its last text (snprintf
// wrote only each text's own) and returns the list's size in bytes.
size_t end_list(char *list, size_t textsLength) {
    list[textsLength] = '\0';
    return textsLength + 1;
}

// A list of terminated texts ended by one more terminator, the way Windows
// stores REG_MULTI_SZ hardware IDs. Returns its size in bytes.
size_t hardware_id_list(const char *node, const UsbIds *usbIds, char *list, size_t size) {
    int first, second = 0;
    if (usbIds != nullptr) {
        const UsbIds &ids = *usbIds;
        first = snprintf(list, size, "USB\\VID_%04X&PID_%04X&REV_%04X", ids.vendor, ids.product,
                         ids.revision);
        second = snprintf(list + first + 1, size - first - 1, "USB\\VID_%04X&PID_%04X",
                          ids.vendor, ids.product);
        return end_list(list, static_cast<size_t>(first) + 1 + static_cast<size_t>(second) + 1);
    }
    // Not USB: an ID of the port's own bus, which no table row matches.
    char subsystem[64];
    subsystem_of(node, subsystem, sizeof subsystem);
    first = snprintf(list, size, "%s\\%s", subsystem, node);
    return end_list(list, static_cast<size_t>(first) + 1);
}

// The USB IDs of the port at index, read from sysfs once for both properties.
const UsbIds *usb_ids_of(PortDeviceSet *set, int index) {
    if (set->idsIndex != index) {
        set->idsFound = find_usb_ids(set->nodes[index], &set->ids);
        set->idsIndex = index;
    }
    return set->idsFound ? &set->ids : nullptr;
}

bool copy_if_fits(const char *bytes, size_t length, char *buffer, size_t size) {
    if (length > size) return false;
    memcpy(buffer, bytes, length);
    return true;
}

}  // namespace

PortDeviceSet *platform_open_port_devices() {
    DIR *folder = opendir(kTtyClass);
    if (folder == nullptr) return nullptr;
    PortDeviceSet *set = static_cast<PortDeviceSet *>(malloc(sizeof(PortDeviceSet)));
    if (set == nullptr) {
        closedir(folder);
        return nullptr;
    }
    set->count = 0;
    set->idsIndex = -1;
    struct dirent *entry;
    while (set->count < kMaxPorts && (entry = readdir(folder)) != nullptr) {
        if (entry->d_name[0] == '.' || strlen(entry->d_name) >= kPortNodeCapacity) continue;
        if (!has_device_link(entry->d_name)) continue;
        snprintf(set->nodes[set->count++], kPortNodeCapacity, "%s", entry->d_name);
    }
    closedir(folder);
    qsort(set->nodes, static_cast<size_t>(set->count), kPortNodeCapacity, compare_nodes);
    return set;
}

bool platform_port_device_exists(PortDeviceSet *set, int index) {
    return index >= 0 && index < set->count;
}

bool platform_read_port_property(PortDeviceSet *set, int index, PortProperty property,
                                 char *buffer, size_t size) {
    if (!platform_port_device_exists(set, index)) return false;
    const char *node = set->nodes[index];
    // Room for two IDs of 32 characters plus terminators, or a long bus name.
    char text[kPortNodeCapacity + 128];
    size_t length;
    const UsbIds *ids = usb_ids_of(set, index);
    if (property == PORT_HARDWARE_ID) {
        length = hardware_id_list(node, ids, text, sizeof text);
    } else {
        // Never device-supplied strings: a product name could itself hold "tty".
        const char *kind = ids != nullptr ? "USB Serial Device" : "Communications Port";
        length = static_cast<size_t>(snprintf(text, sizeof text, "%s (%s)", kind, node)) + 1;
    }
    return copy_if_fits(text, length, buffer, size);
}

void platform_close_port_devices(PortDeviceSet *set) { free(set); }

// --- Folder listing and file status -------------------------------------------------

struct FolderListing {
    DIR *folder;
};

FolderListing *platform_open_folder(const char *path) {
    DIR *folder = opendir(path);
    if (folder == nullptr) return nullptr;
    FolderListing *listing = static_cast<FolderListing *>(malloc(sizeof(FolderListing)));
    if (listing == nullptr) {
        closedir(folder);
        errno = ENOMEM;
        return nullptr;
    }
    listing->folder = folder;
    return listing;
}

const char *platform_next_folder_entry(FolderListing *listing) {
    // readdir leaves errno as it was at the end, and sets it on a failure.
    errno = 0;
    struct dirent *entry = readdir(listing->folder);
    return entry == nullptr ? nullptr : entry->d_name;
}

void platform_close_folder(FolderListing *listing) {
    closedir(listing->folder);
    free(listing);
}

bool platform_is_regular_file(const char *path) {
    struct stat status;
    return stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

// --- Console and time ------------------------------------------------------------------

namespace {

// The terminal's mode before the pause, for the signal handler to put back.
struct termios savedTerminal;
const int kRestoringSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// GCOVR_EXCL_START: Ctrl-C or a hang-up at the pause runs it (the pause tests do both), but the
// process then dies of the signal raised again: gcov, which writes its counts at a normal exit,
// records nothing of it
void restore_terminal_and_die(int signalNumber) {
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    // Inside the handler a failure has no one to report to: the process ends either way.
    signal(signalNumber, SIG_DFL);  // NOLINT(cert-err33-c)
    raise(signalNumber);            // NOLINT(cert-err33-c)
}
// GCOVR_EXCL_STOP

ssize_t read_one_byte(char *byte) {
    ssize_t result;
    do {
        result = read(STDIN_FILENO, byte, 1);
    } while (result < 0 && errno == EINTR);
    return result;
}

// One keypress, without Enter and without echo; Ctrl-C still interrupts,
// and the terminal's mode is put back on every path.
void read_key_from_terminal() {
    // GCOVR_EXCL_BR_START: the C library's isatty, just called, is this same request, so it fails
    // here only when the terminal hangs up in between, after which the read would end at once too
    if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
    // GCOVR_EXCL_BR_STOP
    struct sigaction restoring = {};
    restoring.sa_handler = restore_terminal_and_die;
    struct sigaction previous[sizeof kRestoringSignals / sizeof kRestoringSignals[0]];
    for (size_t i = 0; i < sizeof kRestoringSignals / sizeof kRestoringSignals[0]; ++i) {
        sigaction(kRestoringSignals[i], &restoring, &previous[i]);
        // A signal the user chose to ignore (nohup) stays ignored.
        if (previous[i].sa_handler == SIG_IGN) sigaction(kRestoringSignals[i], &previous[i], nullptr);
    }
    struct termios raw = savedTerminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // TCSANOW, not TCSAFLUSH: keys typed ahead stay for whoever reads next.
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    char key;
    read_one_byte(&key);
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    for (size_t i = 0; i < sizeof kRestoringSignals / sizeof kRestoringSignals[0]; ++i) {
        sigaction(kRestoringSignals[i], &previous[i], nullptr);
    }
}

}  // namespace

void platform_pause() {
    fputs("Press any key to continue . . . ", stdout);
    fflush(stdout);
    char byte;
    // Straight from the descriptor, never through stdio: text that stdin
    // already buffered belongs to the next prompt.
    if (isatty(STDIN_FILENO)) {
        read_key_from_terminal();
    } else {
        read_one_byte(&byte);
    }
    fputc('\n', stdout);
    fflush(stdout);
}

void platform_sleep_ms(unsigned milliseconds) {
    struct timespec remaining = {static_cast<time_t>(milliseconds / 1000),
                                 static_cast<long>(milliseconds % 1000) * 1000000L};
    // GCOVR_EXCL_BR_START: nanosleep fails only when a signal handler interrupts it (EINTR, and
    // the wait goes on for what remains), and none is installed while the program sleeps; or for
    // a bad pointer or more than 999999999 nanoseconds, which the computation above rules out
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
    // GCOVR_EXCL_BR_STOP
}

// --- The flashing tool ------------------------------------------------------------------

bool platform_run_tool(const ToolLaunch *launch, unsigned long *errorNumber) {
    char portArgument[64];
    snprintf(portArgument, sizeof portArgument, "--port=%s", launch->portName);
    // Each field is one argument: no shell, no re-splitting of the printed line.
    const char *arguments[] = {launch->toolPath, portArgument, "-i", "-e", "-w", "-v",
                               launch->imagePath, "--offset=0x2000", "-R", nullptr};
    fflush(stdout);
    // Some posix_spawn implementations (and valgrind's) report a tool that
    // cannot be executed only as a child exiting with 127; ask first so a
    // missing tool is always error 2, as Windows reports it.
    if (access(launch->toolPath, X_OK) != 0) {
        *errorNumber = static_cast<unsigned long>(errno);
        return false;
    }
    pid_t child;
    int error = posix_spawn(&child, launch->toolPath, nullptr, nullptr,
                            const_cast<char *const *>(arguments), environ);
    if (error != 0) {
        *errorNumber = static_cast<unsigned long>(error);
        return false;
    }
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}
