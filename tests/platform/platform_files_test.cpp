// The folder listing, file status, program path and wait of the real
// platform file hold the contracts the lookup and the driver rely on, on
// either system: a listing acts as opendir does, even where the system's own
// calls differ.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "platform.h"
#include "process_tag.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder per test and process, its name with a space in it, removed
// afterwards.
class PlatformFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() /
              (std::string("upm files ") + info->name() + " " + process_tag());
        fs::remove_all(dir);
        fs::create_directories(dir / "Sub folder");
        std::ofstream(dir / "Quarnel_App_12_7.bin") << "image";
        std::ofstream(dir / "name with spaces.txt") << "text";
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const char *name) const { return dir.string() + kFolderSeparator + name; }

    fs::path dir;
};

std::set<std::string> list_folder(const std::string &folder) {
    std::set<std::string> names;
    FolderListing *listing = platform_open_folder(folder.c_str());
    if (listing == nullptr) return names;
    while (const char *name = platform_next_folder_entry(listing)) names.insert(name);
    EXPECT_EQ(errno, 0) << "the end of " << folder << " read as a failure";
    platform_close_folder(listing);
    return names;
}

TEST_F(PlatformFiles, ListingYieldsBareNamesWithDotEntries) {
    std::set<std::string> expected = {".", "..", "Quarnel_App_12_7.bin", "name with spaces.txt",
                                      "Sub folder"};
    EXPECT_EQ(list_folder(dir.string()), expected);
    EXPECT_EQ(list_folder(path("Sub folder")), (std::set<std::string>{".", ".."}));
}

TEST_F(PlatformFiles, ListingFailsWithErrnoOfOpendir) {
    struct Row {
        std::string folder;
        int expectedErrno;
    };
    const Row rows[] = {
        {path("missing"), ENOENT},
        {path("missing") + kFolderSeparator + "deeper", ENOENT},
        {path("Quarnel_App_12_7.bin"), ENOTDIR},
    };
    for (const Row &row : rows) {
        errno = 0;
        FolderListing *listing = platform_open_folder(row.folder.c_str());
        EXPECT_EQ(listing, nullptr) << row.folder;
        EXPECT_EQ(errno, row.expectedErrno) << row.folder;
        if (listing != nullptr) platform_close_folder(listing);
    }
}

TEST_F(PlatformFiles, OnlyRegularFilesCountAsFiles) {
    struct Row {
        std::string path;
        bool regular;
    };
    const Row rows[] = {
        {path("Quarnel_App_12_7.bin"), true},
        {path("name with spaces.txt"), true},
        {path("Sub folder"), false},
        {dir.string(), false},
        {path("missing.bin"), false},
        {path("missing") + kFolderSeparator + "x.bin", false},
        {"", false},
    };
    for (const Row &row : rows) EXPECT_EQ(platform_is_regular_file(row.path.c_str()), row.regular) << row.path;
}

TEST(ProgramPath, NamesThisTestProgramsOwnFile) {
    char full[260];
    platform_program_path(full, sizeof full);
    const char *name = strrchr(full, kFolderSeparator);
    ASSERT_NE(name, nullptr) << full;
    EXPECT_EQ(std::string(name + 1).rfind("platform_tests", 0), 0u) << full;
    EXPECT_TRUE(platform_is_regular_file(full)) << full;
}

TEST(ProgramPath, SmallBufferGetsTheCutPathTerminated) {
    char full[260];
    platform_program_path(full, sizeof full);
    // Size 0: not a byte written, not even a terminator.
    for (size_t size : {0u, 1u, 2u, 8u}) {
        char cut[9] = "xxxxxxxx";
        platform_program_path(cut, size);
        EXPECT_EQ(std::string(cut), size == 0 ? "xxxxxxxx" : std::string(full, size - 1))
            << "size " << size;
    }
}

// The wait before each bootloader detection, which gives the bootloader time
// to come up: never shorter than asked, however loaded the machine. Windows'
// Sleep counts whole ticks of the system clock (15.625 ms by default) and
// may end up to one tick early as another clock measures it ("If
// dwMilliseconds is greater than one tick but less than two, the wait can be
// anywhere between one and two ticks", Microsoft's documentation of Sleep);
// Linux never ends a wait early.
TEST(Wait, LastsNoLessThanAsked) {
    const auto start = std::chrono::steady_clock::now();
    platform_sleep_ms(1000);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::microseconds(1000000 - 15625))
        << std::chrono::duration_cast<std::chrono::microseconds>(waited).count() << " us";
}

}  // namespace
