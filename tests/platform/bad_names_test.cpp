// Image lookup in real folders whose names, or whose images' names, are the
// kind users and other programs really make: '%', quotes, spaces, non-ASCII
// bytes, names as long as the file system allows, and a program folder so
// deep that image paths would not fit in 260 bytes. Plus the worst of the
// keyboard at the version prompt.
#include <gtest/gtest.h>

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

constexpr size_t kLongestPath = 259;  // what a 260-byte path buffer holds

struct Image {
    std::string name;
    const char *shownVersion;  // null: never offered
};

struct NamesCase {
    const char *name;
    std::string folderName;  // the program folder, inside the temporary folder
    size_t folderLength;     // 0: as named; else padded to this many characters
    std::vector<Image> images;
    std::string input;
    int expectedPrompts;
    int expectedChoice;  // from 1, among the offered images in listing order; 0: none
    bool posixNamesOnly;  // names Windows cannot hold ('"') or this test cannot make there
};

void PrintTo(const NamesCase &c, std::ostream *os) { *os << c.name; }

// The folder named by the row and this process (rows share names, and run
// side by side), padded with 'p' to its length, made afresh.
fs::path make_folder(const NamesCase &c) {
    std::string name = c.folderName + " " + process_tag();
    std::string path = (fs::temp_directory_path() / name).string();
    if (c.folderLength > path.size()) path += std::string(c.folderLength - path.size(), 'p');
    fs::remove_all(path);
    fs::create_directories(path);
    return path;
}

std::string expected_dialogue(const std::vector<const Image *> &offered, int prompts) {
    if (offered.size() == 1) return std::string("Using version: v") + offered[0]->shownVersion + "\n";
    std::string text = "Multiple versions found for Quarnel. Choose one:\n";
    for (size_t i = 0; i < offered.size(); ++i) {
        text += "[" + std::to_string(i + 1) + "] v" + offered[i]->shownVersion + "\n";
    }
    for (int i = 0; i < prompts; ++i) {
        text += "Enter your choice (1-" + std::to_string(offered.size()) + "): ";
    }
    return text;
}

class BadNames : public ::testing::TestWithParam<NamesCase> {
  protected:
    void TearDown() override {
        std::error_code ignored;
        if (!folder.empty()) fs::remove_all(folder, ignored);
    }
    fs::path folder;
};

TEST_P(BadNames, OffersOnlyWhatFitsAndReturnsItVerbatim) {
    const NamesCase &c = GetParam();
    if (c.posixNamesOnly && kFolderSeparator != '/') GTEST_SKIP() << "POSIX file names only";
    folder = make_folder(c);
    std::map<std::string, const Image *> byName;
    for (const Image &image : c.images) {
        std::ofstream(folder / image.name) << "image";
        ASSERT_TRUE(fs::is_regular_file(folder / image.name)) << image.name;
        byName[image.name] = &image;
    }
    // Offered images in the order the file system lists them.
    std::vector<const Image *> offered;
    for (const auto &entry : fs::directory_iterator(folder)) {
        const Image *image = byName[entry.path().filename().string()];
        if (image != nullptr && image->shownVersion != nullptr) offered.push_back(image);
    }

    std::string folderText = folder.string();
    char *chosen = nullptr;
    std::string output = run_with_console(
        c.input, [&] { chosen = find_matching_file(folderText.c_str(), "Quarnel"); });

    EXPECT_EQ(output, offered.empty() ? "" : expected_dialogue(offered, c.expectedPrompts));
    if (c.expectedChoice == 0) {
        EXPECT_EQ(chosen, nullptr);
    } else {
        ASSERT_NE(chosen, nullptr);
        const std::string &name = offered[static_cast<size_t>(c.expectedChoice - 1)]->name;
        EXPECT_EQ(chosen, folderText + kFolderSeparator + name);
        EXPECT_LE(strlen(chosen), kLongestPath);
    }
    free(chosen);
}

// Image names whose full path is exactly the longest that fits, and one longer.
const size_t kDeepFolder = 240;
const std::string kFitsExactly = "Quarnel_App_12.bin";   // 240 + 1 + 18 = 259
const std::string kOneTooLong = "Quarnel_App_123.bin";  // 260: would arrive cut
// What the cut path would name: a real file, so only the length check stands
// between the user and flashing the wrong file.
const Image kWhatTheCutPathNames = {"Quarnel_App_123.bi", nullptr};

// 255 bytes, the most a file name may hold.
std::string longest_name() { return "Quarnel_App_9" + std::string(255 - 17, '7') + ".bin"; }

const std::string kLongLine(10000, 'x');
const std::vector<Image> kTwoImages = {{"Quarnel_App_12_7.bin", "1.2"},
                                       {"Quarnel_App_13_1.bin", "1.3"}};

const NamesCase kNamesCases[] = {
    {"PercentAndSpacesInFolderAndNames", "upm bad names 100% %s %n 'q'", 0,
     {{"Quarnel_App_1%s%d%n.bin", "1.%s%d%n"}, {"Quarnel_App_2 'a' b.bin", "2. 'a' b"}}, "2\n", 1,
     2, false},
    {"DoubleQuotesInFolderAndName", "upm bad names \"q\"", 0,
     {{"Quarnel_App_3\"q\".bin", "3.\"q\""}}, "", 0, 1, true},
    // Bytes, not characters: a two-byte letter is split by the inserted '.'.
    {"NonAsciiBytes", "upm bad names \xc3\xa9\xff", 0,
     {{"Quarnel_App_4\xe9\xff.bin", "4.\xe9\xff"}, {"Quarnel_App_\xc3\xa9.bin", "\xc3.\xa9"}},
     "1\n", 1, 1, true},
    {"NameOf255BytesNeverFits", "upm bad names longest", 0,
     {{longest_name(), nullptr}, {"Quarnel_App_5.bin", "5"}}, "", 0, 1, false},
    {"DeepFolderPathThatFitsIsOffered", "upm bad names deep ", kDeepFolder,
     {{kFitsExactly, "1.2"}, {kOneTooLong, nullptr}, kWhatTheCutPathNames}, "", 0, 1, false},
    {"DeepFolderCutPathIsNeverOffered", "upm bad names deep ", kDeepFolder,
     {{kOneTooLong, nullptr}, kWhatTheCutPathNames}, "", 0, 0, false},
    {"FolderPathOfLongestLengthOffersNothing", "upm bad names full ", kLongestPath,
     {{"Quarnel_App_1.bin", nullptr}}, "1\n", 0, 0, false},
    // The keyboard at the version prompt.
    {"TenThousandCharacterLineThenChoice", "upm bad names keys", 0, kTwoImages,
     kLongLine + "\n2\n", 2, 2, false},
    {"NonAsciiNegativeAndHugeThenChoice", "upm bad names keys", 0, kTwoImages,
     "\xff\xe9\n-1\n-99999999999\n99999999999\n1\n", 5, 1, false},
    {"EndOfInputAfterGarbage", "upm bad names keys", 0, kTwoImages, "abc", 2, 0, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, BadNames, ::testing::ValuesIn(kNamesCases),
                         [](const auto &row) { return std::string(row.param.name); });

}  // namespace
