// The program simulated_board runs beside its boards, and the end of both.
//
// PROGRAM runs in a process group of its own, so that it and whatever it
// starts (the flashing tool) can be ended together: on SIGTERM, SIGINT or
// SIGHUP simulated_board passes the signal on to that group, gives it a
// moment, kills what is left and reaps it; the mode then removes its boards
// and dies of the same signal. On a terminal the group gets the foreground
// while it runs, so that the program reads the keyboard and Ctrl-C is its own.
#pragma once

#include <csignal>

// The signal that asks simulated_board to end, or 0. Every wait of its own
// (a gadget's enumeration among them) looks at it.
extern volatile sig_atomic_t endAsked;

// From now on SIGTERM, SIGINT and SIGHUP set endAsked; one that was ignored
// when simulated_board started (nohup, a background job) stays ignored.
void catch_end_signals();

// Serves the boards for a moment (some 20 ms) while the program runs.
using Serve = void (*)(void *boards);

// Runs program[0] with its arguments, serving the boards between looks at
// it, until it ends or an end is asked. Returns its exit status (128 + the
// signal that killed it), or kCannotStart. Either way nothing it started is
// left running.
int run_program(char **program, Serve serve, void *boards);

// Dies of the signal in endAsked, as asked; returns only when it is 0.
void die_if_asked();
