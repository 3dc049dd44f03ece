#include "firmware.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

constexpr int kMaxCandidates = 20;
constexpr size_t kVersionFieldCapacity = 128;
constexpr size_t kShownVersionCapacity = 32;
constexpr size_t kPrefixCapacity = 64;

struct Candidates {
    char matchingFiles[kMaxCandidates][kPathCapacity];
    char hwVersions[kMaxCandidates][kShownVersionCapacity];
    int count;
};

// Letters compare equal across case, ASCII only: the user's locale must not
// decide whether an image belongs to a board.
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_ignoring_case(const char *name, const char *prefix) {
    for (; *prefix != '\0'; ++name, ++prefix) {
        if (ascii_lower(*name) != ascii_lower(*prefix)) return false;
    }
    return true;
}

void cut_at(char *text, const char *marker) {
    char *at = strstr(text, marker);
    if (at != nullptr) *at = '\0';
}

// "12" is shown as "1.2", "103" as "1.03"; a single character or nothing as it is.
void shown_version(const char *versionField, char *shown, size_t size) {
    char hwRaw[kShownVersionCapacity];
    snprintf(hwRaw, sizeof hwRaw, "%s", versionField);
    cut_at(hwRaw, "_");
    if (strlen(hwRaw) >= 2) {
        snprintf(shown, size, "%c.%s", hwRaw[0], hwRaw + 1);
    } else {
        snprintf(shown, size, "%s", hwRaw);
    }
}

// A path that does not fit would name some other file, so it is no candidate.
bool join_path(const char *folder, const char *name, char (&fullpath)[kPathCapacity]) {
    int length = snprintf(fullpath, sizeof fullpath, "%s%c%s", folder, kFolderSeparator, name);
    return length >= 0 && static_cast<size_t>(length) < sizeof fullpath;
}

// False when the folder cannot be listed, or its listing fails part-way
// (reported on stderr).
bool collect_candidates(const char *folder, const char *prefix, Candidates *candidates) {
    FolderListing *listing = platform_open_folder(folder);
    if (listing == nullptr) {
        perror("opendir() error");
        return false;
    }
    candidates->count = 0;
    const char *name = nullptr;
    while (candidates->count < kMaxCandidates &&
           (name = platform_next_folder_entry(listing)) != nullptr) {
        Candidates &c = *candidates;
        // The name rules run first: they are free, while a status call per
        // entry is what a crowded Downloads folder would make expensive.
        if (!image_version_from_name(name, prefix, c.hwVersions[c.count], kShownVersionCapacity)) {
            continue;
        }
        if (!join_path(folder, name, c.matchingFiles[c.count])) continue;
        if (!is_regular_file(c.matchingFiles[c.count])) continue;
        ++c.count;
    }
    // A listing that breaks off may hide the very image asked for: the
    // folder could not be listed, which is not the same as holding none.
    const bool brokenOff = name == nullptr && errno != 0;
    if (brokenOff) perror("opendir() error");
    platform_close_folder(listing);
    return !brokenOff;
}

void discard_rest_of_line() {
    int c;
    while ((c = getchar()) != EOF && c != '\n') {
    }
}

// Candidate number chosen by the user (1..count), or 0 when input ends.
int ask_choice(int count) {
    int choice = 0;
    while (choice < 1 || choice > count) {
        printf("Enter your choice (1-%d): ", count);
        fflush(stdout);
        if (read_choice_number(&choice) < 0) return 0;
    }
    return choice;
}

int choose_candidate(const Candidates &candidates, const char *boardName) {
    if (candidates.count == 1) {
        printf("Using version: v%s\n", candidates.hwVersions[0]);
        return 1;
    }
    printf("Multiple versions found for %s. Choose one:\n", boardName);
    for (int i = 0; i < candidates.count; ++i) {
        printf("[%d] v%s\n", i + 1, candidates.hwVersions[i]);
    }
    return ask_choice(candidates.count);
}

char *copy_text(const char *text) {
    size_t size = strlen(text) + 1;
    char *copy = static_cast<char *>(malloc(size));
    if (copy != nullptr) memcpy(copy, text, size);
    return copy;
}

}  // namespace

bool image_version_from_name(const char *name, const char *prefix, char *shownVersion,
                             size_t size) {
    if (strstr(name, ".bin") == nullptr) return false;
    if (!starts_with_ignoring_case(name, prefix)) return false;
    char versionField[kVersionFieldCapacity];
    snprintf(versionField, sizeof versionField, "%s", name + strlen(prefix));
    cut_at(versionField, ".bin");
    shown_version(versionField, shownVersion, size);
    return true;
}

bool is_regular_file(const char *path) { return platform_is_regular_file(path); }

int read_choice_number(int *number) {
    int c;
    do {
        c = getchar();
    } while (c != EOF && isspace(c));
    if (c == EOF) return -1;
    bool negative = (c == '-');
    if (c == '-' || c == '+') c = getchar();
    if (c == EOF || !isdigit(c)) {
        if (c != '\n') discard_rest_of_line();
        return 0;
    }
    // Saturate instead of overflowing: an absurd answer is merely out of range.
    long long value = 0;
    for (; c != EOF && isdigit(c); c = getchar()) {
        if (value <= INT_MAX) value = value * 10 + (c - '0');
    }
    // One character pushed back after a read always fits.
    if (c != EOF) ungetc(c, stdin);  // NOLINT(cert-err33-c)
    if (negative) value = -value;
    *number = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
    return 1;
}

char *find_matching_file(const char *folder, const char *boardName) {
    char prefix[kPrefixCapacity];
    snprintf(prefix, sizeof prefix, "%s_App_", boardName);
    Candidates candidates;
    if (!collect_candidates(folder, prefix, &candidates) || candidates.count == 0) return nullptr;
    int choice = choose_candidate(candidates, boardName);
    if (choice == 0) return nullptr;
    return copy_text(candidates.matchingFiles[choice - 1]);
}
