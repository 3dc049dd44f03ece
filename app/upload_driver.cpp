#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "firmware.h"
#include "platform.h"
#include "upload.h"

namespace {

constexpr size_t kBoardNameCapacity = 20;

// Reads the menu letter the way " %c" does: white space, blank lines
// included, is skipped and the rest of the line stays for the version prompt.
int read_menu_letter() {
    fflush(stdout);
    int c;
    do {
        c = getchar();
    } while (c != EOF && isspace(c));
    return c;
}

// False when the user's letter names no board.
bool choose_board(DetectedBoard *boards, char *boardName, size_t size) {
    int count = detectBoards(boards, kMaxBoards, knownAppBoards, kAppBoardCount);
    if (count != 0) {
        snprintf(boardName, size, "%s", boards[0].boardName);
        printf("Automaticly selected board : %s\n", boardName);
        return true;
    }
    puts("No known board have been detected. Please select one");
    puts("[Q] Quarnel\n[B] Bravik\n[H] Harlun");
    const char *chosen = board_for_letter(read_menu_letter());
    if (chosen == nullptr) {
        puts("Invalid Letter. Cancel upload");
        return false;
    }
    snprintf(boardName, size, "%s", chosen);
    return true;
}

}  // namespace

const char *board_for_letter(int letter) {
    switch (letter) {
        case 'Q': case 'q': return "Quarnel";
        case 'B': case 'b': return "Bravik";
        case 'H': case 'h': return "Harlun";
        default: return nullptr;  // Dovrel is reached only by detection
    }
}

void get_current_directory(char *buffer, size_t size) {
    platform_program_path(buffer, size);
    char *lastSeparator = strrchr(buffer, kFolderSeparator);
    if (lastSeparator != nullptr) *lastSeparator = '\0';
}

int run_upload() {
    char currentDir[kPathCapacity];
    DetectedBoard boards[kMaxBoards];
    char boardName[kBoardNameCapacity];
    get_current_directory(currentDir, sizeof currentDir);
    if (!choose_board(boards, boardName, sizeof boardName)) return 1;
    char *binFile = find_matching_file(currentDir, boardName);
    if (binFile == nullptr) {
        printf("No file was found for %s. Please add a file with the board name inside.\n",
               boardName);
    } else {
        run_flashing_phase(currentDir, binFile, boards);
        free(binFile);
    }
    puts("\n\nPress Enter to exit...");
    platform_pause();
    return 0;
}
