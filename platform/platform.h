// The one door to the operating system. Everything the program needs from the
// OS is declared here once; CMake compiles exactly one implementation file
// (platform_windows.cpp or platform_linux.cpp), and the tests link a scripted
// double in its place.
#pragma once

#include <cstddef>

// Folder separator used to cut the program path and to join a folder and a
// file name: '\\' on Windows, '/' on Linux.
extern const char kFolderSeparator;

// Text that starts a port name inside a port's friendly name: "COM" on
// Windows ("USB Serial Device (COM7)"), "tty" on Linux
// ("USB Serial Device (ttyACM0)").
extern const char kPortNameMarker[];

// Capacity of every path the program builds or receives, terminator
// included: Windows' classic MAX_PATH, kept on Linux too.
constexpr size_t kPathCapacity = 260;

// File name of the flashing tool inside "<program folder>/Bossac/1.9.1/".
extern const char kFlashToolFileName[];

// Full path of the program's own file, always terminated; a path longer than
// the buffer arrives cut. On Windows it is in the ANSI code page: its short
// (8.3) form when the long one has characters the code page lacks, and when
// neither form fits, the lossy one with a line on stderr that says so.
void platform_program_path(char *buffer, size_t size);

// --- Present serial-port devices -------------------------------------------
// The set is taken by platform_open_port_devices and released by
// platform_close_port_devices within one detection.
struct PortDeviceSet;

enum PortProperty {
    PORT_HARDWARE_ID,    // list of texts, each terminated, ended by one more terminator
    PORT_FRIENDLY_NAME,  // one terminated text
};

// Null when the set cannot be had.
PortDeviceSet *platform_open_port_devices();
// True while a device exists at index (0, 1, 2, ...).
bool platform_port_device_exists(PortDeviceSet *set, int index);
// True and the property's bytes in buffer; false when the property is absent
// or does not fit in size bytes with all its terminators.
bool platform_read_port_property(PortDeviceSet *set, int index, PortProperty property,
                                 char *buffer, size_t size);
void platform_close_port_devices(PortDeviceSet *set);

// --- Folder listing and file status -------------------------------------------
struct FolderListing;

// Null on failure, with errno set (2 missing, 20 not a folder, 12 no memory).
FolderListing *platform_open_folder(const char *path);
// The next entry's bare name, "." and ".." included, in the file system's
// order; null at the end, with errno 0, and null with errno set when the
// listing fails part-way. The text lives until the next call.
const char *platform_next_folder_entry(FolderListing *listing);
void platform_close_folder(FolderListing *listing);
// True when the file status of path says regular file; false when it says
// otherwise or cannot be read.
bool platform_is_regular_file(const char *path);

// --- Console and time ---------------------------------------------------------
// Waits for one key after the system's own "Press any key" prompt. Never
// consumes text that earlier reads left buffered in stdin. Like
// platform_run_tool, it flushes stdout first, so every message is on the
// console before the program waits.
void platform_pause();
void platform_sleep_ms(unsigned milliseconds);

// --- The flashing tool ----------------------------------------------------------
// Both forms of one launch: Windows runs commandLine as it is (and may write
// into it); Linux runs toolPath with the arguments built from the fields.
struct ToolLaunch {
    char *commandLine;
    const char *toolPath;
    const char *portName;
    const char *imagePath;
};

// Flushes stdout, starts the tool and waits for it to end; its exit status
// is not examined.
// False when it could not be started, with the system's error number.
bool platform_run_tool(const ToolLaunch *launch, unsigned long *errorNumber);
