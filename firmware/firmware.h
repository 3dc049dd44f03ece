// Finding a board's firmware images beside the program and choosing a version.
#pragma once

#include <cstddef>

// Full path of the chosen image of boardName in folder, newly allocated and
// owned by the caller (release with free), or null when the folder cannot be
// listed, holds no image for the board, or the user gives no answer.
char *find_matching_file(const char *folder, const char *boardName);

// True when the file status of path says regular file.
bool is_regular_file(const char *path);

// The name rules, apart from the file status. True when name is an image name
// for prefix ("<board>_App_"), with its version as shown to the user
// ("12_7" -> "1.2") in shownVersion.
bool image_version_from_name(const char *name, const char *prefix, char *shownVersion,
                             size_t size);

// Reads an int the way " %d" does. Returns 1 with the number, 0 when the
// next text is not a number (the rest of its line is then discarded), and
// -1 at end of input. Numbers beyond int's range come back as INT_MAX or
// INT_MIN.
int read_choice_number(int *number);
