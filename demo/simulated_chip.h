// A board's chip as its USB bootloader shows it to the flashing tool: a
// SAMD21G18A (256 KiB of flash, 32 KiB of RAM) behind a serial monitor that
// takes the tool's text commands ("w41002018,4#", "S20004040,00001000#"
// followed by binary data, ...) and answers them as the chip would.
//
// Nothing here touches the OS nor knows how the bytes travelled: they go in
// through chip_receive, answers come out through a sink, and complaints about
// commands the chip would refuse go to standard error. The serial port
// itself is bootloader_port.cpp's.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kFlashSize = 256 * 1024;
constexpr uint32_t kFlashPageSize = 64;
constexpr uint32_t kFlashRowSize = 4 * kFlashPageSize;  // the unit of erasing
// The bootloader occupies the first 8 KiB; the chip's fuses protect it, so
// the tool is told to place images at 0x2000.
constexpr uint32_t kBootloaderSize = 0x2000;
constexpr uint32_t kRamStart = 0x20000000;
constexpr uint32_t kRamSize = 32 * 1024;
constexpr uint32_t kUserRowStart = 0x00804000;
constexpr uint32_t kUserRowSize = kFlashRowSize;

// Where the answers go. A link that carries the binary data of "R" (read)
// and "S" (write) commands in blocks of its own sets the last two; left null,
// the data travel as they are, out through write and in through chip_receive.
struct ByteSink {
    void *context;
    // An answer; may be called several times per command.
    void (*write)(void *context, const uint8_t *data, size_t length);
    // The memory an "R" command reads, all of it; the bytes stay as they are
    // until the chip takes its next command ...
    void (*sendData)(void *context, uint32_t address, const uint8_t *data, uint32_t length);
    // ... and the start of an "S" command's data, which the link then hands
    // over through chip_store_data.
    void (*awaitData)(void *context, uint32_t address);
};

struct SimulatedChip {
    uint8_t flash[kFlashSize];
    uint8_t ram[kRamSize];
    uint8_t userRow[kUserRowSize];

    // The flash controller: stores into flash land in the page buffer until
    // a write-page command programs them.
    uint8_t pageBuffer[kFlashPageSize];
    uint32_t nvmControlB;
    uint32_t nvmAddress;  // in 16-bit words, as the controller counts
    uint16_t nvmStatus;
    uint8_t nvmInterruptFlags;

    uint32_t copySource;  // RAM buffer named by "Y<address>,0#"

    // The command being read: a letter, hex digits, maybe ',' and more hex
    // digits, then '#'.
    char command;
    bool sawComma;
    uint32_t firstNumber;
    uint32_t number;
    // Binary data still due after "S<address>,<size>#", of dataSize.
    uint32_t dataLeft, dataSize;
    uint32_t dataAddress;
    bool dataDiscarded;

    bool resetRequested;
    bool flashErased;  // an erase of application rows has been asked for
    bool flashWritten;
    uint32_t writtenLow, writtenHigh;  // [low, high) of programmed flash
};

// Moments of the tool's dialogue with the chip, at which a board can be
// unplugged whatever the bytes before them.
enum class Moment : uint8_t {
    kNone,
    // The flash is erased and half of a write's data has come: the tool is
    // writing the image (not its helper code, written before the erase).
    kWriting,
    // The next byte ends a command to copy the buffer into flash: the tool
    // sends it whole and then waits for the chip's answer.
    kAwaitingAnswer,
};

// True when the chip, about to take next from the tool, stands at moment.
bool chip_at_moment(const SimulatedChip *chip, Moment moment, uint8_t next);

// A chip fresh from the bench: bootloader in place, application area and
// user row as the factory and the bootloader left them.
void chip_power_on(SimulatedChip *chip);

// Feeds bytes from the tool; answers go to sink as the chip would send them.
void chip_receive(SimulatedChip *chip, const uint8_t *data, size_t length, const ByteSink *sink);

// For a link with blocks of its own (ByteSink's awaitData): the data of an
// "S" command as they arrive (bytes past the command's size are dropped) ...
void chip_store_data(SimulatedChip *chip, const uint8_t *data, size_t length);
// ... and their end, however many came: the chip takes commands again.
void chip_end_data(SimulatedChip *chip);

// A line on standard error about what the chip refused.
__attribute__((format(printf, 1, 2))) void chip_complain(const char *format, ...);
