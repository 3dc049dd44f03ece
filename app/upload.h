// One upload from start to end: the board, the image, the bootloader and the
// flashing tool.
#pragma once

#include <cstddef>

#include "boards.h"
#include "platform.h"

// The folder that holds the program file, without a trailing separator.
void get_current_directory(char *buffer, size_t size);

// Runs one upload and returns the exit status: 1 when the user's board
// letter is not recognised, else 0.
int run_upload();

// The board named by a menu letter, or null when the letter names none.
const char *board_for_letter(int letter);

// Asks for the bootloader up to three times and runs the flashing tool on
// the first bootloader port found. boards is the caller's array of 10.
void run_flashing_phase(const char *currentDir, const char *binFile, DetectedBoard *boards);

// Fills command (and the launch fields) for running the flashing tool of
// currentDir on comPort with binFile; toolPath is the caller's buffer.
void build_tool_launch(const char *currentDir, const char *comPort, const char *binFile,
                       char *toolPath, size_t toolPathSize, char *command, size_t commandSize,
                       ToolLaunch *launch);
