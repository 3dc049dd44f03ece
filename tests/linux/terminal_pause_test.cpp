// The real program on a pseudo-terminal: its pauses take one key without
// Enter or echo, and the terminal's mode comes back on every way out. And
// the pause without a terminal.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform.h"
#include "scripted_libc.h"
#include "simulated_ports.h"

namespace fs = std::filesystem;

namespace {

const char kPausePrompt[] = "Press any key to continue . . . ";
const char kMenuEnd[] = "[H] Harlun";

// IGNORED_CTRL_C: the program starts with SIGINT ignored, as a shell's
// background job does; Ctrl-C at the pause changes nothing, a key then ends it.
enum PauseAction { PRESS_KEY, PRESS_CTRL_C, HANG_UP, TYPE_NOTHING, IGNORED_CTRL_C };

struct PauseCase {
    const char *name;
    const char *menuAnswer;  // typed at the letter menu, before any pause
    bool uploadSetup;        // two Quarnel images, a stand-in tool and a bootloader
    PauseAction atEachPause;
    int expectedSignal;      // 0: exits with status 0; -1: ends, however
};

void PrintTo(const PauseCase &c, std::ostream *os) { *os << c.name; }

const PauseCase kPauseCases[] = {
    {"KeyEndsPause", "b\n", false, PRESS_KEY, 0},
    {"CtrlCEndsProgram", "b\n", false, PRESS_CTRL_C, SIGINT},
    {"HangupDoesNotHang", "b\n", false, HANG_UP, -1},
    {"IgnoredCtrlCStaysIgnored", "b\n", false, IGNORED_CTRL_C, 0},
    // 'k' waits in the terminal's queue while the menu takes its line; the
    // pause must find it there, not discard it.
    {"KeyTypedAheadEndsPause", "b\nk", false, TYPE_NOTHING, 0},
    // '2' stays in stdio's buffer for the version prompt; pauses read the
    // terminal itself and never take it.
    {"VersionTypedWithLetter", "q2\n", true, PRESS_KEY, 0},
};

int count_of(const std::string &text, const std::string &part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

bool same_mode(const termios &a, const termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

bool in_key_mode(int terminal) {
    termios mode;
    return tcgetattr(terminal, &mode) == 0 && (mode.c_lflag & (ICANON | ECHO)) == 0;
}

class TerminalPause : public SimulatedPorts, public ::testing::WithParamInterface<PauseCase> {
  protected:
    void SetUp() override {
        SimulatedPorts::SetUp();
        char base[] = "/tmp/upm-pty-XXXXXX";
        ASSERT_NE(mkdtemp(base), nullptr);
        folder = base;
        program = folder + "/UpdateProgramManually";
        fs::copy_file(UPM_PROGRAM_PATH, program);
    }
    void TearDown() override {
        if (child > 0 && waitpid(child, nullptr, WNOHANG) == 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
        fs::remove_all(folder);
        SimulatedPorts::TearDown();
    }

    void lay_out_upload() {
        std::ofstream(folder + "/Quarnel_App_12_7.bin") << "A";
        std::ofstream(folder + "/Quarnel_App_13_1.bin") << "B";
        fs::create_directories(folder + "/Bossac/1.9.1");
        std::ofstream(folder + "/Bossac/1.9.1/bossac") << "#!/bin/sh\nexit 0\n";
        fs::permissions(folder + "/Bossac/1.9.1/bossac", fs::perms::owner_all);
        add_ports({{USB_CDC_ACM, "ttyACM1", "1-4", "2341", "004d", "0100"}});
    }

    // The program as a session leader with the pseudo-terminal as its
    // controlling terminal, so Ctrl-C and hangups reach it as they would.
    void start(const PauseCase &c) {
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(slave, 2);
            close(master);
            close(slave);
            if (c.atEachPause == IGNORED_CTRL_C) signal(SIGINT, SIG_IGN);
            execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
    }

    void drain(int waitMs) {
        pollfd ready = {master, POLLIN, 0};
        char chunk[512];
        while (master >= 0 && poll(&ready, 1, waitMs) > 0 && (ready.revents & POLLIN)) {
            ssize_t n = read(master, chunk, sizeof chunk);
            if (n <= 0) break;
            output.append(chunk, static_cast<size_t>(n));
            waitMs = 0;
        }
    }

    void type(const char *text) {
        ASSERT_EQ(write(master, text, strlen(text)), static_cast<ssize_t>(strlen(text)));
    }

    // Drives the dialogue until the program ends or the time is up; false
    // on a hang.
    bool run_dialogue(const PauseCase &c, int *status) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        bool menuAnswered = false;
        int pausesAnswered = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            drain(20);
            if (waitpid(child, status, WNOHANG) == child) {
                drain(0);
                return true;
            }
            if (!menuAnswered && output.find(kMenuEnd) != std::string::npos) {
                type(c.menuAnswer);
                menuAnswered = true;
            }
            if (c.atEachPause == TYPE_NOTHING || count_of(output, kPausePrompt) <= pausesAnswered ||
                !in_key_mode(slave)) {
                continue;
            }
            ++pausesAnswered;
            keyModeSeen = true;
            if (c.atEachPause == PRESS_KEY) type("x");
            if (c.atEachPause == PRESS_CTRL_C) type("\x03");
            if (c.atEachPause == IGNORED_CTRL_C) {
                type("\x03");
                drain(200);  // time to die, were the signal not ignored
                type("x");
            }
            if (c.atEachPause == HANG_UP) {
                close(master);
                master = -1;
            }
        }
        return false;
    }

    std::string folder, program, output;
    pid_t child = -1;
    int master = -1, slave = -1;
    bool keyModeSeen = false;
};

TEST_P(TerminalPause, RestoresTerminal) {
    const PauseCase &c = GetParam();
    if (c.uploadSetup) lay_out_upload();
    start(c);
    termios before;
    ASSERT_EQ(tcgetattr(slave, &before), 0);

    int status = 0;
    ASSERT_TRUE(run_dialogue(c, &status)) << "program hung; its screen:\n" << output;
    if (c.expectedSignal == 0) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    } else if (c.expectedSignal > 0) {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.expectedSignal) << output;
    }
    if (c.atEachPause != TYPE_NOTHING) {
        EXPECT_TRUE(keyModeSeen) << "no pause seen\n" << output;
    }
    if (c.atEachPause != HANG_UP) {
        termios after;
        ASSERT_EQ(tcgetattr(slave, &after), 0);
        EXPECT_TRUE(same_mode(before, after)) << "terminal mode not restored";
    }
    if (c.uploadSetup) {
        EXPECT_EQ(count_of(output, "Enter your choice (1-2): "), 1) << output;
        size_t listed = output.find("[2] v1.");
        ASSERT_NE(listed, std::string::npos) << output;
        std::string chosen = std::string("Quarnel_App_1") + output[listed + 7] + "_";
        EXPECT_EQ(count_of(output, chosen), 1) << "image not handed to the tool\n" << output;
    }
}

INSTANTIATE_TEST_SUITE_P(Linux, TerminalPause, ::testing::ValuesIn(kPauseCases), RowName());

// The pause in this process, its input no terminal (a pipe, or closed, as
// some services start a program): it takes one byte and leaves the rest, and
// it never waits for input that cannot come.
TEST(PauseWithoutTerminal, TakesOneByteAndNeverHangs) {
    const struct {
        const char *name;
        const char *input;  // null: input closed
        std::string left;
        LibcFault read;
    } rows[] = {
        {"bytes waiting", "xy", "y", {}},
        {"a read interrupted, made again", "xy", "y", {EINTR, 0, 1}},
        {"at the end of its input", "", "", {}},
        {"input closed", nullptr, "", {}},
    };
    const int savedInput = dup(STDIN_FILENO);
    ASSERT_GE(savedInput, 0);
    for (const auto &row : rows) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        ASSERT_EQ(write(ends[1], row.input ? row.input : "", row.input ? strlen(row.input) : 0),
                  static_cast<ssize_t>(row.input ? strlen(row.input) : 0));
        close(ends[1]);
        dup2(ends[0], STDIN_FILENO);
        close(ends[0]);
        if (row.input == nullptr) close(STDIN_FILENO);
        ::testing::internal::CaptureStdout();
        libcScript.read = row.read;
        platform_pause();
        reset_libc_script();
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string(kPausePrompt) + "\n")
            << row.name;
        char rest[8];
        const ssize_t length = row.input ? read(STDIN_FILENO, rest, sizeof rest) : 0;
        EXPECT_EQ(std::string(rest, length > 0 ? static_cast<size_t>(length) : 0), row.left)
            << row.name;
        dup2(savedInput, STDIN_FILENO);
    }
    close(savedInput);
}

}  // namespace
