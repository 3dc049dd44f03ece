// Pieces shared by the benchmark files of upm_bench.
#pragma once

#include <sys/types.h>

#include <cstddef>

// A child process with its stdin and stdout on pipes held by us.
struct Child {
    pid_t pid;
    int input;   // write end: the child's stdin
    int output;  // read end: the child's stdout
};

// Starts argv[0] with the given environment; its stderr goes to /dev/null.
bool spawn_piped(char *const argv[], char *const envp[], Child *child);
// Reads the child's stdout into text until marker appears (true) or the
// output ends or fills text (false). text is always terminated.
bool read_until(int fd, const char *marker, char *text, size_t size);
// Closes the child's stdin, drains its stdout and waits for it to end.
// Returns the CPU time the child used, in seconds.
double finish_child(Child *child);

// Each benchmark file registers its cases and removes what it built on disk.
void register_lookup_benchmarks();
void remove_lookup_folder();
void register_port_benchmarks();
void release_testbed();
bool use_testbed(int ports);
void register_start_benchmarks();
