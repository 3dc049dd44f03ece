// The chip's bootloader as the flashing tool meets it on a plain serial line
// (a UART) rather than over USB. Two things differ from USB:
//
// - The tool opens with the auto-baud bytes 0x80, 0x80, '#'; the bootloader
//   measures its bit rate on them and answers nothing.
// - The data of "S" (write) and "R" (read) commands travel in XMODEM-CRC
//   blocks: SOH, block number, its complement, 128 bytes, CRC-16 high and
//   low. The receiver asks for the first block with 'C', answers each with
//   ACK or NAK, and the sender ends with EOT, which is ACKed too.
//
// Everything else (N, V, w/W, X/Y/Z, ...) is as over USB. So this layer sits
// in front of a chip (simulated_chip.h), which serves the commands: it takes
// the tool's bytes, keeps the auto-baud bytes and XMODEM blocks to itself,
// and hands the rest and the blocks' data down. Like the chip, it touches no
// OS: time reaches it through uart_idle from the board's loop.
#pragma once

#include <cstddef>
#include <cstdint>

struct ByteSink;
struct SimulatedChip;

constexpr uint32_t kXmodemDataSize = 128;
constexpr uint32_t kXmodemBlockSize = 3 + kXmodemDataSize + 2;

enum class XmodemPhase : uint8_t {
    kNone,           // no transfer: bytes are commands
    kReceiving,      // "S": blocks come from the tool
    kAwaitingStart,  // "R": the tool's 'C' is due
    kSending,        // "R": a block is out, its ACK is due
    kEnding,         // "R": EOT is out, its ACK is due
};

struct XmodemTransfer {
    XmodemPhase phase;
    uint32_t address;      // where the command's data starts, for complaints
    uint32_t blocksDone;   // blocks taken (receiving) or ACKed (sending)
    uint8_t block[kXmodemBlockSize];
    uint32_t blockFill;    // bytes of the block being received
    const uint8_t *source;  // "R": the chip's bytes to send
    uint32_t sourceLength;
    unsigned failures;     // NAKs and silent seconds in a row
    uint32_t silentMs;     // since the tool last sent anything
};

struct UartDialect {
    SimulatedChip *chip;  // serves the commands and takes the blocks' data
    bool autoBaud;  // the auto-baud bytes are coming, up to their '#'
    XmodemTransfer xmodem;
};

// The bootloader listening on its UART in front of chip, a chip just powered
// on: it hears nothing before the auto-baud sequence.
void uart_start(UartDialect *uart, SimulatedChip *chip);

// Feeds bytes from the tool; answers go to sink as the bootloader would send
// them on its UART.
void uart_receive(UartDialect *uart, const uint8_t *data, size_t length, const ByteSink *sink);

// elapsedMs more without a byte from the tool: a transfer waiting for one
// asks again, and gives up when the tool has stayed silent too long.
void uart_idle(UartDialect *uart, uint32_t elapsedMs, const ByteSink *sink);
