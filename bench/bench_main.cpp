// upm_bench: what one run of the program costs as the user's folder and the
// number of serial ports grow, next to the libraries people would otherwise use.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bench.h"

bool spawn_piped(char *const argv[], char *const envp[], Child *child) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) return false;
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    int error = posix_spawn(&child->pid, argv[0], &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    child->input = toChild[1];
    child->output = fromChild[0];
    if (error == 0) return true;
    close(child->input);
    close(child->output);
    return false;
}

bool read_until(int fd, const char *marker, char *text, size_t size) {
    size_t length = 0;
    text[0] = '\0';
    while (length + 1 < size) {
        ssize_t got = read(fd, text + length, size - 1 - length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        length += static_cast<size_t>(got);
        text[length] = '\0';
        if (strstr(text, marker) != nullptr) return true;
    }
    return false;
}

double finish_child(Child *child) {
    close(child->input);
    char rest[4096];
    while (read(child->output, rest, sizeof rest) > 0) {
    }
    close(child->output);
    int status;
    struct rusage usage = {};
    while (wait4(child->pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int main(int argc, char **argv) {
    register_lookup_benchmarks();
    register_port_benchmarks();
    register_start_benchmarks();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    remove_lookup_folder();
    release_testbed();
    return 0;
}
