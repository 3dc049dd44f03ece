// Windows: SetupAPI for the serial ports, Win32 for the rest. ANSI (A) calls
// throughout: every text of the program is in the system's code page. Only
// the program's own path is checked with W calls, to find the form of it
// that the code page can hold.
#include <windows.h>
#include <setupapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "platform.h"

const char kFolderSeparator = '\\';
const char kPortNameMarker[] = "COM";
const char kFlashToolFileName[] = "bossac.exe";

namespace {

// The ANSI form of wide; false when the code page lacks one of its
// characters, which the A calls replace by '?'.
bool ansi_without_loss(const wchar_t *wide, char (&ansi)[kPathCapacity]) {
    BOOL lost = FALSE;
    int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, ansi,
                                     static_cast<int>(sizeof ansi), nullptr, &lost);
    return length > 0 && !lost;
}

enum class PathForm {
    AS_GIVEN,    // the A call's path names the file
    SHORT,       // the short (8.3) form does, the long one has lost characters
    NONE_HOLDS,  // no form of the path fits the code page
};

// Which form of the program's path the code page can hold; the short form,
// when that is the one, in shortPath. A short form names the same file in
// characters every code page has, unless 8.3 names are switched off on the
// volume, where it is the long form again.
PathForm program_path_form(char (&shortPath)[kPathCapacity]) {
    // A UTF-8 code page holds every character, and refuses to report a loss.
    if (GetACP() == CP_UTF8) return PathForm::AS_GIVEN;
    wchar_t wide[kPathCapacity];
    DWORD length = GetModuleFileNameW(nullptr, wide, kPathCapacity);
    if (length == 0 || length >= kPathCapacity) return PathForm::AS_GIVEN;  // cut there too
    if (ansi_without_loss(wide, shortPath)) return PathForm::AS_GIVEN;
    wchar_t shortWide[kPathCapacity];
    length = GetShortPathNameW(wide, shortWide, kPathCapacity);
    bool holds = length > 0 && length < kPathCapacity && ansi_without_loss(shortWide, shortPath);
    return holds ? PathForm::SHORT : PathForm::NONE_HOLDS;
}

}  // namespace

void platform_program_path(char *buffer, size_t size) {
    if (size == 0) return;
    DWORD length = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
    // Windows XP leaves a cut path unterminated.
    buffer[length < size ? length : size - 1] = '\0';
    char shortPath[kPathCapacity];
    // GCOVR_EXCL_BR_START: the switch's way past every case, which none of the three forms takes
    switch (program_path_form(shortPath)) {
        // GCOVR_EXCL_BR_STOP
        case PathForm::AS_GIVEN: break;
        case PathForm::SHORT: snprintf(buffer, size, "%s", shortPath); break;
        case PathForm::NONE_HOLDS:
            // The path with '?' in it names no folder: no image will be found.
            fputs("This program's folder has characters that this system's code page cannot"
                  " hold: move it to a folder whose name has none, for example C:\\Flash\n",
                  stderr);
            // Before the listing's error, which perror writes past the stream's buffer.
            fflush(stderr);
            break;
    }
}

// --- Serial ports from SetupAPI -------------------------------------------------------

namespace {

// GUID_DEVCLASS_PORTS, spelled out so no extra import library is needed.
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

}  // namespace

struct PortDeviceSet {
    HDEVINFO devices;
    SP_DEVINFO_DATA current;  // the device at currentIndex
    int currentIndex;
};

PortDeviceSet *platform_open_port_devices() {
    HDEVINFO devices = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return nullptr;
    PortDeviceSet *set = static_cast<PortDeviceSet *>(calloc(1, sizeof(PortDeviceSet)));
    if (set == nullptr) {
        SetupDiDestroyDeviceInfoList(devices);
        return nullptr;
    }
    set->devices = devices;
    set->currentIndex = -1;
    return set;
}

bool platform_port_device_exists(PortDeviceSet *set, int index) {
    memset(&set->current, 0, sizeof set->current);
    set->current.cbSize = sizeof set->current;
    set->currentIndex = -1;
    if (index < 0 || !SetupDiEnumDeviceInfo(set->devices, static_cast<DWORD>(index), &set->current)) {
        return false;
    }
    set->currentIndex = index;
    return true;
}

bool platform_read_port_property(PortDeviceSet *set, int index, PortProperty property,
                                 char *buffer, size_t size) {
    if (index != set->currentIndex && !platform_port_device_exists(set, index)) return false;
    DWORD which = property == PORT_HARDWARE_ID ? SPDRP_HARDWAREID : SPDRP_FRIENDLYNAME;
    DWORD required = 0;
    return SetupDiGetDeviceRegistryPropertyA(set->devices, &set->current, which, nullptr,
                                             reinterpret_cast<PBYTE>(buffer),
                                             static_cast<DWORD>(size), &required) != FALSE;
}

void platform_close_port_devices(PortDeviceSet *set) {
    SetupDiDestroyDeviceInfoList(set->devices);
    free(set);
}

// --- Folder listing and file status -----------------------------------------------------

struct FolderListing {
    HANDLE search;
    WIN32_FIND_DATAA entry;
    bool entryPending;  // FindFirstFileA already holds the first entry
};

namespace {

int errno_for_listing_error(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME: return ENOENT;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_ACCESS_DENIED: return EACCES;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        default: return EINVAL;
    }
}

}  // namespace

FolderListing *platform_open_folder(const char *path) {
    char pattern[MAX_PATH + 2];
    int length = snprintf(pattern, sizeof pattern, "%s\\*", path);
    // GCOVR_EXCL_BR_START: snprintf fails (below 0) only for a text longer than INT_MAX or for
    // an encoding error, which a "%s" of bytes cannot have
    if (length < 0 || static_cast<size_t>(length) >= sizeof pattern) {
        // GCOVR_EXCL_BR_STOP
        errno = ENAMETOOLONG;
        return nullptr;
    }
    // A file where the folder should be is "not a folder", as opendir says.
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = ENOTDIR;
        return nullptr;
    }
    FolderListing *listing = static_cast<FolderListing *>(calloc(1, sizeof(FolderListing)));
    if (listing == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    listing->search = FindFirstFileA(pattern, &listing->entry);
    if (listing->search == INVALID_HANDLE_VALUE) {
        errno = errno_for_listing_error(GetLastError());
        free(listing);
        return nullptr;
    }
    listing->entryPending = true;
    return listing;
}

const char *platform_next_folder_entry(FolderListing *listing) {
    if (listing->entryPending) {
        listing->entryPending = false;
        return listing->entry.cFileName;
    }
    if (!FindNextFileA(listing->search, &listing->entry)) {
        // Any other failure breaks the listing off: not its end.
        const DWORD error = GetLastError();
        errno = error == ERROR_NO_MORE_FILES ? 0 : errno_for_listing_error(error);
        return nullptr;
    }
    return listing->entry.cFileName;
}

void platform_close_folder(FolderListing *listing) {
    FindClose(listing->search);
    free(listing);
}

bool platform_is_regular_file(const char *path) {
    struct _stat status;
    return _stat(path, &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
}

// --- Console and time -------------------------------------------------------------------

void platform_pause() {
    fflush(stdout);
    // The command interpreter's own pause is the one users know; the command is constant.
    system("pause");  // NOLINT(cert-env33-c)
}

void platform_sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }

// --- The flashing tool --------------------------------------------------------------------

bool platform_run_tool(const ToolLaunch *launch, unsigned long *errorNumber) {
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    memset(&pi, 0, sizeof pi);
    fflush(stdout);
    if (!CreateProcessA(nullptr, launch->commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
        *errorNumber = GetLastError();
        return false;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return true;
}
