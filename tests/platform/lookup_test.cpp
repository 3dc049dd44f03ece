// Image lookup against real folders through the real platform file.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "console_capture.h"
#include "firmware.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

struct Entry {
    std::string name;
    const char *shownVersion;  // null: not a candidate
    bool folder;
};

Entry image(const std::string &name, const char *shown) { return {name, shown, false}; }
Entry other(const std::string &name) { return {name, nullptr, false}; }
Entry folder(const std::string &name) { return {name, nullptr, true}; }

struct LookupCase {
    const char *name;
    std::vector<Entry> entries;
    const char *input;
    // Position (from 1, in listing order among the candidates) of the image
    // expected back, or 0 for none.
    int expectedChoice;
    int expectedPrompts;
};

void PrintTo(const LookupCase &c, std::ostream *os) { *os << c.name; }

// A fresh folder per test, removed afterwards.
class Lookup : public ::testing::TestWithParam<LookupCase> {
  protected:
    void SetUp() override {
        // Named after the test and the process, so tests run side by side, of
        // this build or another, never share a folder.
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("upm lookup ") + info->name() + " " +
                           process_tag();
        for (char &c : name) c = c == '/' ? '_' : c;
        dir = fs::temp_directory_path() / name;
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    void make(const std::vector<Entry> &entries) {
        for (const Entry &e : entries) {
            if (e.folder) {
                fs::create_directory(dir / e.name);
            } else {
                std::ofstream(dir / e.name) << "image";
            }
        }
    }

    // Candidates in the order the file system lists them, never sorted.
    std::vector<const Entry *> listed_candidates(const std::vector<Entry> &entries) {
        std::map<std::string, const Entry *> byName;
        for (const Entry &e : entries) byName[e.name] = &e;
        std::vector<const Entry *> candidates;
        for (const auto &item : fs::directory_iterator(dir)) {
            const Entry *e = byName[item.path().filename().string()];
            if (e != nullptr && e->shownVersion != nullptr) candidates.push_back(e);
        }
        return candidates;
    }

    std::string full_path(const std::string &name) {
        return dir.string() + kFolderSeparator + name;
    }

    fs::path dir;
};

std::string expected_dialogue(const std::vector<const Entry *> &candidates, int prompts) {
    if (candidates.size() == 1) return std::string("Using version: v") + candidates[0]->shownVersion + "\n";
    std::string text = "Multiple versions found for Quarnel. Choose one:\n";
    size_t shown = candidates.size() < 20 ? candidates.size() : 20;
    for (size_t i = 0; i < shown; ++i) {
        text += "[" + std::to_string(i + 1) + "] v" + candidates[i]->shownVersion + "\n";
    }
    for (int i = 0; i < prompts; ++i) text += "Enter your choice (1-" + std::to_string(shown) + "): ";
    return text;
}

TEST_P(Lookup, OffersImagesAndReturnsTheChosenPath) {
    const LookupCase &c = GetParam();
    make(c.entries);
    std::vector<const Entry *> candidates = listed_candidates(c.entries);
    char *chosen = nullptr;
    std::string output = run_with_console(
        c.input, [&] { chosen = find_matching_file(dir.string().c_str(), "Quarnel"); });
    if (candidates.empty()) {
        EXPECT_EQ(output, "");
    } else {
        EXPECT_EQ(output, expected_dialogue(candidates, c.expectedPrompts));
    }
    if (c.expectedChoice == 0) {
        EXPECT_EQ(chosen, nullptr);
    } else {
        ASSERT_NE(chosen, nullptr);
        EXPECT_EQ(chosen, full_path(candidates[static_cast<size_t>(c.expectedChoice - 1)]->name));
    }
    free(chosen);
}

std::vector<Entry> twenty_five_images() {
    std::vector<Entry> entries;
    static const char *shown[] = {"1.0", "1.1", "1.2", "1.3", "1.4", "1.5", "1.6", "1.7", "1.8",
                                  "1.9", "2.0", "2.1", "2.2", "2.3", "2.4", "2.5", "2.6", "2.7",
                                  "2.8", "2.9", "3.0", "3.1", "3.2", "3.3", "3.4"};
    for (int i = 0; i < 25; ++i) {
        entries.push_back(image("Quarnel_App_" + std::to_string(10 + i) + ".bin", shown[i]));
    }
    return entries;
}

const LookupCase kLookupCases[] = {
    {"PrefixIgnoresCase",
     {image("Quarnel_App_12_7.bin", "1.2"), image("quarnel_app_13_1.bin", "1.3")}, "1\n", 1, 1},
    {"BinIsCaseSensitive", {other("Quarnel_App_12_7.BIN"), image("QUARNEL_APP_9.bin", "9")}, "", 1,
     0},
    {"BinAnywhereInName", {image("Quarnel_App_12_7.bin.old", "1.2")}, "", 1, 0},
    {"OneCharacterVersion", {image("Quarnel_App_7.bin", "7")}, "", 1, 0},
    {"EmptyVersion", {image("Quarnel_App_.bin", "")}, "", 1, 0},
    {"DotAfterFirstCharacterWhateverFollows", {image("Quarnel_App_1.2_3.bin", "1..2")}, "", 1, 0},
    {"HundredsShownAfterFirstDigit", {image("Quarnel_App_103_x.bin", "1.03")}, "", 1, 0},
    {"NotImages",
     {folder("Quarnel_App_1.bin"), other("Old_Quarnel_App_1.bin"), other("Bravik_App_12.bin"),
      other("Quarnel_App_12.hex"), other("Quarnel_12.bin")},
     "", 0, 0},
    {"DifferOnlyAfterUnderscore",
     {image("Quarnel_App_12_7.bin", "1.2"), image("Quarnel_App_12_8.bin", "1.2")}, "2\n", 2, 1},
    {"OutOfRangeThenValid",
     {image("Quarnel_App_12_7.bin", "1.2"), image("Quarnel_App_13_1.bin", "1.3")}, "0\n3\n2\n", 2,
     3},
    {"SeveralNumbersOnOneLine",
     {image("Quarnel_App_12_7.bin", "1.2"), image("Quarnel_App_13_1.bin", "1.3")}, " -1 7 1", 1,
     3},
    {"NonNumbersDiscardLine",
     {image("Quarnel_App_12_7.bin", "1.2"), image("Quarnel_App_13_1.bin", "1.3")},
     "abc 1\n\n+x\n2\n", 2, 3},
    {"HugeNumberIsOutOfRange",
     {image("Quarnel_App_12_7.bin", "1.2"), image("Quarnel_App_13_1.bin", "1.3")},
     "99999999999999999999\n1\n", 1, 2},
    {"EndOfInputGivesUp",
     {image("Quarnel_App_12_7.bin", "1.2"), image("Quarnel_App_13_1.bin", "1.3")}, "5\n", 0, 2},
    {"OnlyFirstTwentyOffered", twenty_five_images(), "20\n", 20, 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, Lookup, ::testing::ValuesIn(kLookupCases),
                         [](const auto &row) { return std::string(row.param.name); });

TEST(LookupFolder, UnlistableFolderIsReportedOnStderr) {
    fs::path missing = fs::temp_directory_path() / "upm-no-such-folder";
    ::testing::internal::CaptureStderr();
    char *chosen = find_matching_file(missing.string().c_str(), "Quarnel");
    std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(chosen, nullptr);
    EXPECT_EQ(report, std::string("opendir() error: ") + strerror(ENOENT) + "\n");
}

}  // namespace
