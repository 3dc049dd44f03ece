#include "board_program.h"

#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "board_options.h"

extern char **environ;

volatile sig_atomic_t endAsked = 0;

extern "C" {
static void ask_to_end(int signalNumber) { endAsked = signalNumber; }
}

namespace {

const int kEndSignals[] = {SIGTERM, SIGINT, SIGHUP};
// Long enough for a program and a tool that end at once, valgrind's too;
// what is left after it is killed.
constexpr int kGraceMs = 3000;
constexpr int kLookEveryMs = 20;

// The program's group takes the terminal when simulated_board has it.
bool owns_terminal() { return isatty(STDIN_FILENO) != 0 && tcgetpgrp(STDIN_FILENO) == getpgrp(); }

// Back to simulated_board's group; SIGTTOU would stop a background group
// that asks for it.
void take_terminal_back() {
    sigset_t ttou, saved;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &saved);
    if (tcsetpgrp(STDIN_FILENO, getpgrp()) != 0) perror("simulated_board: terminal");
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

bool start(char **program, bool terminal, pid_t *child) {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
    // Its own group (0: its process ID), taken in the child before the exec,
    // so that nothing it starts escapes the group's end.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    if (terminal) posix_spawn_file_actions_addtcsetpgrp_np(&actions, STDIN_FILENO);
    int error = posix_spawnp(child, program[0], &actions, &attributes, program, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        fprintf(stderr, "simulated_board: cannot start %s: %s\n", program[0], strerror(error));
    }
    return error == 0;
}

// True once the child has ended; it stays unreaped, so its group's ID
// cannot name another group yet.
bool has_ended(pid_t child) {
    siginfo_t info = {};
    int result;
    do {
        result = waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    return result < 0 || info.si_pid == child;
}

// The signal asked for goes to the whole group; after a moment whatever is
// left of it is killed.
void end_group(pid_t group, int signalNumber) {
    (void)kill(-group, signalNumber);
    for (int waitedMs = 0; waitedMs < kGraceMs && !has_ended(group); waitedMs += kLookEveryMs) {
        poll(nullptr, 0, kLookEveryMs);
    }
}

// Reaps what is left of the killed group: what the program left behind,
// orphaned, is this process's to reap (a subreaper's), so none of it is
// left when this process ends, not even a zombie for a slow init.
void reap_rest_of_group(pid_t group) {
    for (int waitedMs = 0; waitedMs < kGraceMs; waitedMs += kLookEveryMs) {
        const pid_t reaped = waitpid(-group, nullptr, WNOHANG);
        if (reaped < 0 && errno != EINTR) return;  // ECHILD: the group is gone
        if (reaped == 0) poll(nullptr, 0, kLookEveryMs);
    }
}

int reap(pid_t child) {
    int status = 0;
    pid_t ended;
    do {
        ended = waitpid(child, &status, 0);
    } while (ended < 0 && errno == EINTR);
    if (ended != child) return kOwnFailure;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : kOwnFailure;
}

}  // namespace

void catch_end_signals() {
    struct sigaction end = {};
    end.sa_handler = ask_to_end;  // no SA_RESTART: waits end early and look at endAsked
    sigemptyset(&end.sa_mask);
    for (int signalNumber : kEndSignals) {
        struct sigaction earlier = {};
        sigaction(signalNumber, nullptr, &earlier);
        if (earlier.sa_handler != SIG_IGN) sigaction(signalNumber, &end, nullptr);
    }
}

int run_program(char **program, Serve serve, void *boards) {
    if (endAsked != 0) return kCannotStart;
    const bool terminal = owns_terminal();
    pid_t child = 0;
    (void)prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (!start(program, terminal, &child)) return kCannotStart;
    while (!has_ended(child) && endAsked == 0) serve(boards);
    if (endAsked != 0) end_group(child, endAsked);
    // What is left, a tool the program left behind among it; the unreaped
    // program keeps the group's ID from naming another.
    (void)kill(-child, SIGKILL);
    const int status = reap(child);
    reap_rest_of_group(child);
    if (terminal) take_terminal_back();
    return status;
}

void die_if_asked() {
    const int signalNumber = endAsked;
    if (signalNumber == 0) return;
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signalNumber, &fallback, nullptr);
    (void)raise(signalNumber);
}
