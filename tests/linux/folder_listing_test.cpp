// A folder listing that the system breaks off, or cannot be had for want of
// memory, through the real lookup and the real platform file. A 32-bit
// program without large-file support gets EOVERFLOW from readdir on a folder
// whose entries need 64-bit numbers (NFS, 9p, btrfs, XFS); that, an I/O error
// part-way, or no memory must be reported like a folder that cannot be
// listed, never taken for a folder without images.
//
// The failure is made at the C library's edge: this program's own readdir
// comes before the C library's in symbol lookup, so platform_linux.cpp calls
// it as built, with no preload and no change to it. Unarmed, it passes every
// call on.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "../console_capture.h"
#include "firmware.h"
#include "scripted_libc.h"

namespace {
int readsBeforeBreak = -1;  // -1: never break
int breakWith = 0;
}  // namespace

extern "C" struct dirent *readdir(DIR *folder) {
    using Readdir = struct dirent *(*)(DIR *);
    static const Readdir systemReaddir = reinterpret_cast<Readdir>(dlsym(RTLD_NEXT, "readdir"));
    if (readsBeforeBreak == 0) {
        errno = breakWith;
        return nullptr;
    }
    if (readsBeforeBreak > 0) --readsBeforeBreak;
    return systemReaddir(folder);
}

namespace {

namespace fs = std::filesystem;

TEST(FolderListing, BrokenOffListingIsReportedNotTakenForNoImage) {
    const fs::path dir = fs::temp_directory_path() / ("upm broken listing " + process_tag());
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "Quarnel_App_12_7.bin") << "image";
    const struct {
        int readsBeforeBreak;
        int error;
        bool noMemory;  // for the listing itself, once the folder is open
    } rows[] = {
        {0, EOVERFLOW, false},  // the first read, as on the 32-bit build
        {2, EIO, false},        // part-way: the image may be among the entries read
        {-1, ENOMEM, true},
        {-1, 0, false},         // read whole: the image is offered
    };
    for (const auto &row : rows) {
        char *chosen = nullptr;
        readsBeforeBreak = row.readsBeforeBreak;
        breakWith = row.error;
        if (row.noMemory) libcScript.allocation = {ENOMEM, 0, 1};
        ::testing::internal::CaptureStderr();
        std::string output =
            run_with_console("", [&] { chosen = find_matching_file(dir.string().c_str(), "Quarnel"); });
        std::string report = ::testing::internal::GetCapturedStderr();
        readsBeforeBreak = -1;
        reset_libc_script();
        if (row.error == 0) {
            EXPECT_EQ(output, "Using version: v1.2\n");
            EXPECT_EQ(report, "");
            ASSERT_NE(chosen, nullptr);
            EXPECT_EQ(std::string(chosen), (dir / "Quarnel_App_12_7.bin").string());
        } else {
            EXPECT_EQ(output, "") << strerror(row.error);
            EXPECT_EQ(report, std::string("opendir() error: ") + strerror(row.error) + "\n");
            EXPECT_EQ(chosen, nullptr) << strerror(row.error);
        }
        free(chosen);
    }
    fs::remove_all(dir);
}

}  // namespace
