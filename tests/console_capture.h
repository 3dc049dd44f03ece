// Runs code with stdin fed from a text and stdout captured, so the dialogue
// is checked through the real standard streams.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

inline std::filesystem::path console_input_file(int number) {
    return std::filesystem::temp_directory_path() /
           ("upm-console-input-" + std::to_string(number) + ".txt");
}

template <typename Body>
std::string run_with_console(const std::string &input, Body body) {
    // A new file each time: stdin still holds the previous one open.
    static int runs = 0;
    std::filesystem::path inputFile = console_input_file(++runs);
    std::ofstream(inputFile, std::ios::binary) << input;
    EXPECT_NE(freopen(inputFile.string().c_str(), "rb", stdin), nullptr);
    std::error_code ignored;
    std::filesystem::remove(console_input_file(runs - 1), ignored);
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}
