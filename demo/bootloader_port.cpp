#include "bootloader_port.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "uart_dialect.h"

namespace {

constexpr int kClosedPortPollMs = 5;
constexpr int kIdlePollMs = 20;
constexpr int kWriteTimeoutMs = 2000;

void write_to_port(void *context, const uint8_t *data, size_t length) {
    Port *port = static_cast<Port *>(context);
    int waitedMs = 0;
    while (length > 0) {
        ssize_t written = write(port->fd, data, length);
        if (written > 0) {
            data += written;
            length -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) break;
        // The tool is not reading; it may have given up.
        if (waitedMs >= kWriteTimeoutMs) break;
        pollfd out = {port->fd, POLLOUT, 0};
        poll(&out, 1, kIdlePollMs);
        waitedMs += kIdlePollMs;
    }
    if (length > 0) {
        fprintf(stderr, "simulated_board: %zu bytes of an answer could not be sent\n", length);
    }
}

// Where the cable is pulled, in the words of the line that says so.
const char *moment_words(Moment moment) {
    switch (moment) {
        case Moment::kWriting: return "while the tool writes the image";
        case Moment::kAwaitingAnswer: return "while the tool waits for an answer";
        case Moment::kNone: break;
    }
    return "";
}

// The cable is pulled before the chip takes next (0: none has come yet):
// at --unplug-at's moment, or once --hang-up-after's bytes have all come.
// Even while the tool waits for an answer, its reads end in end of file and
// its writes fail from then on.
bool pull_cable_before(Port *port, uint8_t next) {
    const unsigned long long received = port->bytesReceived;
    char where[64];
    if (chip_at_moment(port->chip, port->unplugAt, next)) {
        snprintf(where, sizeof where, "%s", moment_words(port->unplugAt));
    } else if (port->goesDeadAfter >= 0 &&
               received >= static_cast<unsigned long long>(port->goesDeadAfter)) {
        snprintf(where, sizeof where, "after %llu bytes", received);
    } else {
        return false;
    }
    fprintf(stderr, "simulated_board: the board is unplugged %s\n", where);
    hang_up(port);
    return true;
}

// Byte by byte: the moment to pull the cable may come inside a read, or
// right after its last byte.
void serve_bytes(Port *port, const uint8_t *data, size_t length) {
    const ByteSink sink = {port, write_to_port, nullptr, nullptr};
    for (size_t i = 0; i < length; ++i) {
        if (pull_cable_before(port, data[i])) return;
        if (port->uart != nullptr) {
            uart_receive(port->uart, &data[i], 1, &sink);
        } else {
            chip_receive(port->chip, &data[i], 1, &sink);
        }
        ++port->bytesReceived;
    }
    pull_cable_before(port, 0);
}

// A UART transfer the tool left half-done times out on the board's side.
void tell_chip_the_time(Port *port, bool heardSomething) {
    long long now = monotonic_ms();
    if (!heardSomething && !port->hungUp && port->uart != nullptr) {
        const ByteSink sink = {port, write_to_port, nullptr, nullptr};
        uart_idle(port->uart, static_cast<uint32_t>(now - port->lastLookMs), &sink);
    }
    port->lastLookMs = now;
}

}  // namespace

long long monotonic_ms() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

Port port_for(SimulatedChip *chip, UartDialect *uart, long long goesDeadAfter, Moment unplugAt) {
    return {-1, goesDeadAfter, unplugAt, false, chip, uart, 0, monotonic_ms()};
}

void hang_up(Port *port) {
    int nothing = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nothing < 0 || dup2(nothing, port->fd) < 0) perror("simulated_board: hang-up");
    if (nothing >= 0) close(nothing);
    port->hungUp = true;
}

void serve_once(Port *port) {
    if (port->hungUp) {
        poll(nullptr, 0, kIdlePollMs);
        return;
    }
    pollfd in = {port->fd, POLLIN, 0};
    int ready = poll(&in, 1, kIdlePollMs);
    uint8_t data[4096];
    ssize_t got = ready > 0 && (in.revents & POLLIN) != 0 ? read(port->fd, data, sizeof data) : -1;
    if (got > 0) {
        serve_bytes(port, data, static_cast<size_t>(got));
    } else if (ready > 0) {
        // The tool has the port closed: the master side reports a hang-up
        // until it opens the port again.
        poll(nullptr, 0, kClosedPortPollMs);
    }
    tell_chip_the_time(port, got > 0);
}

bool write_flash_dump(const SimulatedChip *chip, const char *file) {
    FILE *dump = fopen(file, "wb");
    bool written = dump != nullptr && fwrite(chip->flash, 1, kFlashSize, dump) == kFlashSize;
    if (dump != nullptr && fclose(dump) != 0) written = false;
    if (!written) fprintf(stderr, "simulated_board: cannot write the flash dump %s\n", file);
    return written;
}

void print_summary(const SimulatedChip *chip) {
    if (chip->flashWritten) {
        fprintf(stderr, "simulated_board: flash written at 0x%08X-0x%08X (%u bytes), ",
                chip->writtenLow, chip->writtenHigh - 1, chip->writtenHigh - chip->writtenLow);
    } else {
        fputs("simulated_board: flash not written, ", stderr);
    }
    fputs(chip->resetRequested ? "reset requested\n" : "no reset requested\n", stderr);
}
