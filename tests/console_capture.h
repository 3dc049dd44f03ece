// Runs code with stdin fed from a text and stdout captured, so the dialogue
// is checked through the real standard streams.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "process_tag.h"

// Named by process and run: CTest starts each case as a process of its own,
// side by side with others, and each must read only its own input.
inline std::filesystem::path console_input_file(int run) {
    return std::filesystem::temp_directory_path() /
           ("upm-console-input-" + process_tag() + "-" + std::to_string(run) + ".txt");
}

// The input files of this process. The last one is stdin's until the end:
// at exit stdin lets go of it, so that it can be removed (Windows keeps an
// open file).
struct ConsoleInputFiles {
    int runs = 0;
    ~ConsoleInputFiles() {
        if (runs == 0) return;
        fclose(stdin);
        std::error_code ignored;
        std::filesystem::remove(console_input_file(runs), ignored);
    }
};

inline ConsoleInputFiles &console_input_files() {
    static ConsoleInputFiles files;
    return files;
}

template <typename Body>
std::string run_with_console(const std::string &input, Body body) {
    // A new file each time: stdin still holds the previous one open.
    int run = ++console_input_files().runs;
    std::filesystem::path inputFile = console_input_file(run);
    std::ofstream(inputFile, std::ios::binary) << input;
    EXPECT_NE(freopen(inputFile.string().c_str(), "rb", stdin), nullptr);
    std::error_code ignored;
    std::filesystem::remove(console_input_file(run - 1), ignored);
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}
