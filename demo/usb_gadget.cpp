#include "usb_gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kGadgetRoot[] = "/sys/kernel/config/usb_gadget";
constexpr char kTtyClass[] = "/sys/class/tty";
constexpr char kFunction[] = "functions/acm.usb0";
constexpr char kConfiguration[] = "configs/c.1";
constexpr char kFunctionLink[] = "configs/c.1/acm.usb0";
constexpr char kStrings[] = "strings/0x409";  // US English, the one language hosts ask for
constexpr int kLookEveryMs = 10;
// Enumeration took 0.66 s under emulation on a calm machine; a busy one
// takes longer, a stuck one never ends.
constexpr int kEnumerationLimitMs = 20000;

void path_in(const UsbGadget *gadget, const char *relative, char *path, size_t size) {
    snprintf(path, size, "%s/%s", gadget->folder, relative);
}

bool put_text(const char *path, const char *text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t length = strlen(text);
    bool written = write(fd, text, length) == static_cast<ssize_t>(length);
    int writeError = errno;
    if (close(fd) != 0 && written) return false;
    errno = writeError;
    return written;
}

bool put_attribute(const UsbGadget *gadget, const char *relative, const char *text) {
    char path[kGadgetPathCapacity + 64];
    path_in(gadget, relative, path, sizeof path);
    if (put_text(path, text)) return true;
    fprintf(stderr, "simulated_board: cannot write %s: %s\n", path, strerror(errno));
    return false;
}

bool make_folder(const UsbGadget *gadget, const char *relative) {
    char path[kGadgetPathCapacity + 64];
    path_in(gadget, relative, path, sizeof path);
    if (mkdir(path, 0755) == 0) return true;
    fprintf(stderr, "simulated_board: cannot make %s: %s\n", path, strerror(errno));
    return false;
}

bool read_text(const char *path, char *text, size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t length = read(fd, text, size - 1);
    close(fd);
    if (length <= 0) return false;
    text[length] = '\0';
    return true;
}

// Of two boards in their bootloaders, both with its IDs, the gadget's own
// lies under the gadget's own host controller, e.g.
// /sys/devices/platform/dummy_hcd.0/usb1/1-1/1-1:1.0/tty/ttyACM0.
bool is_under_own_controller(const UsbGadget *gadget, const char *node) {
    char link[PATH_MAX];
    char device[PATH_MAX];
    char hostController[64];
    snprintf(link, sizeof link, "%s/%s", kTtyClass, node);
    snprintf(hostController, sizeof hostController, "/sys/devices/platform/dummy_hcd.%d/",
             gadget->controller);
    return realpath(link, device) != nullptr &&
           strncmp(device, hostController, strlen(hostController)) == 0;
}

// Whether the host has made a ttyACM under the gadget's controller yet: a
// cheap look, every few milliseconds while the kernel enumerates, which a
// whole detection would slow down on an emulated guest's one processor.
bool host_has_tty(const UsbGadget *gadget) {
    DIR *folder = opendir(kTtyClass);
    if (folder == nullptr) return false;
    bool found = false;
    const dirent *entry;
    while (!found && (entry = readdir(folder)) != nullptr) {
        found = strncmp(entry->d_name, "ttyACM", 6) == 0 &&
                is_under_own_controller(gadget, entry->d_name);
    }
    closedir(folder);
    return found;
}

// The ttyACM the host made for this gadget, as the program finds a board:
// by the USB ID its sysfs device carries.
bool find_host_tty(UsbGadget *gadget, const VidPidStruct &identity) {
    if (!host_has_tty(gadget)) return false;
    DetectedBoard found[kMaxBoards];
    const int count = detectBoards(found, kMaxBoards, &identity, 1);
    for (int i = 0; i < count; ++i) {
        if (is_under_own_controller(gadget, found[i].portName)) {
            snprintf(gadget->hostTty, sizeof gadget->hostTty, "%s", found[i].portName);
            return true;
        }
    }
    return false;
}

bool host_tty_exists(const UsbGadget *gadget) {
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s", kTtyClass, gadget->hostTty);
    struct stat status = {};
    return lstat(path, &status) == 0;
}

void wait_a_little() { poll(nullptr, 0, kLookEveryMs); }

// The device side's tty is numbered by the ACM function: ttyGS<port_num>.
bool name_device_tty(UsbGadget *gadget) {
    char path[kGadgetPathCapacity + 64];
    char text[16];
    snprintf(path, sizeof path, "%s/%s/port_num", gadget->folder, kFunction);
    if (!read_text(path, text, sizeof text)) return false;
    char *end = nullptr;
    long number = strtol(text, &end, 10);
    if (end == text || number < 0) return false;
    snprintf(gadget->deviceTty, sizeof gadget->deviceTty, "/dev/ttyGS%ld", number);
    return true;
}

// rmdir and unlink of what is already gone count as done.
void remove_part(const UsbGadget *gadget, const char *relative, bool isLink) {
    char path[kGadgetPathCapacity + 64];
    path_in(gadget, relative, path, sizeof path);
    int result = isLink ? unlink(path) : rmdir(path);
    if (result != 0 && errno != ENOENT) {
        fprintf(stderr, "simulated_board: cannot remove %s: %s\n", path, strerror(errno));
    }
}

// Unbinds the gadget and removes whatever of its folders exist, the
// function's link first; false when the gadget's folder stays.
bool remove_folders(UsbGadget *gadget) {
    struct stat status = {};
    if (stat(gadget->folder, &status) != 0) return true;
    char udc[kGadgetPathCapacity + 16];
    path_in(gadget, "UDC", udc, sizeof udc);
    // Refused (ENODEV) when it is not bound: nothing to undo then.
    (void)put_text(udc, "\n");
    // Even on the way out, the host lets go of the tty first (within a
    // second when all is well): a stale one with the same ID under the same
    // controller would be taken for the next gadget's.
    for (int waitedMs = 0; gadget->hostTty[0] != '\0' && host_tty_exists(gadget) &&
                           waitedMs < kEnumerationLimitMs;
         waitedMs += kLookEveryMs) {
        wait_a_little();
    }
    gadget->hostTty[0] = '\0';
    remove_part(gadget, kFunctionLink, true);
    remove_part(gadget, kConfiguration, false);
    remove_part(gadget, kFunction, false);
    remove_part(gadget, kStrings, false);
    if (rmdir(gadget->folder) == 0 || errno == ENOENT) return true;
    fprintf(stderr, "simulated_board: cannot remove %s: %s\n", gadget->folder, strerror(errno));
    return false;
}

}  // namespace

bool gadget_make(UsbGadget *gadget, int controller, const volatile sig_atomic_t *giveUp) {
    gadget->controller = controller;
    gadget->giveUp = giveUp;
    gadget->hostTty[0] = '\0';
    gadget->deviceTty[0] = '\0';
    snprintf(gadget->folder, sizeof gadget->folder, "%s/simulated_board%d", kGadgetRoot,
             controller);
    // One left by a run that was killed outright goes first.
    if (!remove_folders(gadget)) return false;
    char serial[32];
    snprintf(serial, sizeof serial, "SIMULATED%d", controller);
    char target[kGadgetPathCapacity + 64];
    char link[kGadgetPathCapacity + 64];
    path_in(gadget, kFunction, target, sizeof target);
    path_in(gadget, kFunctionLink, link, sizeof link);
    if (mkdir(gadget->folder, 0755) != 0) {
        fprintf(stderr, "simulated_board: cannot make the USB gadget %s: %s (configfs and "
                "libcomposite are needed)\n", gadget->folder, strerror(errno));
        return false;
    }
    bool made = make_folder(gadget, kStrings) &&
                put_attribute(gadget, "strings/0x409/manufacturer", "simulated_board") &&
                put_attribute(gadget, "strings/0x409/serialnumber", serial) &&
                make_folder(gadget, kConfiguration) && make_folder(gadget, kFunction);
    if (made && symlink(target, link) != 0) {
        fprintf(stderr, "simulated_board: cannot link %s: %s\n", link, strerror(errno));
        made = false;
    }
    if (made && !name_device_tty(gadget)) {
        fprintf(stderr, "simulated_board: no port number in %s/%s\n", gadget->folder, kFunction);
        made = false;
    }
    return made;
}

bool gadget_plug(UsbGadget *gadget, const VidPidStruct &identity) {
    UsbId id = {};
    if (!usb_id_of_vidpid(identity.vidpid, &id)) return false;
    char vendor[16], product[16], controller[32];
    snprintf(vendor, sizeof vendor, "0x%04x", id.vendor);
    snprintf(product, sizeof product, "0x%04x", id.product);
    snprintf(controller, sizeof controller, "dummy_udc.%d", gadget->controller);
    if (!put_attribute(gadget, "idVendor", vendor) ||
        !put_attribute(gadget, "idProduct", product) ||
        !put_attribute(gadget, "strings/0x409/product", identity.name) ||
        !put_attribute(gadget, "UDC", controller)) {
        return false;
    }
    for (int waitedMs = 0; waitedMs < kEnumerationLimitMs && *gadget->giveUp == 0;
         waitedMs += kLookEveryMs) {
        if (find_host_tty(gadget, identity)) return true;
        wait_a_little();
    }
    if (*gadget->giveUp == 0) {
        fprintf(stderr, "simulated_board: the host made no tty for %s (%04x:%04x) on dummy_hcd.%d "
                "within %d s\n", identity.name, id.vendor, id.product, gadget->controller,
                kEnumerationLimitMs / 1000);
    }
    return false;
}

bool gadget_unplug(UsbGadget *gadget) {
    if (!put_attribute(gadget, "UDC", "\n")) return false;
    for (int waitedMs = 0; gadget->hostTty[0] != '\0'; waitedMs += kLookEveryMs) {
        if (!host_tty_exists(gadget)) {
            gadget->hostTty[0] = '\0';
        } else if (waitedMs >= kEnumerationLimitMs || *gadget->giveUp != 0) {
            if (*gadget->giveUp == 0) {
                fprintf(stderr, "simulated_board: %s stays after the unplug\n", gadget->hostTty);
            }
            return false;
        } else {
            wait_a_little();
        }
    }
    return true;
}

int gadget_open_tty(const UsbGadget *gadget) {
    int fd = open(gadget->deviceTty, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings = {};
    // It starts cooked, with echo: the tool's commands would come back to it.
    bool raw = fd >= 0 && tcgetattr(fd, &settings) == 0;
    if (raw) {
        cfmakeraw(&settings);
        raw = tcsetattr(fd, TCSANOW, &settings) == 0;
    }
    if (raw) return fd;
    fprintf(stderr, "simulated_board: cannot open %s: %s\n", gadget->deviceTty, strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
}

bool gadget_remove(UsbGadget *gadget) {
    if (gadget->folder[0] == '\0') return true;
    bool removed = remove_folders(gadget);
    gadget->folder[0] = '\0';
    return removed;
}
