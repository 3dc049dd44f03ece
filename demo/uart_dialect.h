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
// Everything else (N, V, w/W, X/Y/Z, ...) is as over USB. Like the chip, this
// touches no OS: time reaches it through uart_idle from the board's loop.
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

// A bootloader on a UART counts 0x80 bytes and the '#' after them as its
// auto-baud sequence: true when byte is part of one and so is not a command.
bool uart_autobaud_byte(SimulatedChip *chip, uint8_t byte);

// After "S<address>,<size>#": asks for the first block.
void xmodem_begin_receive(SimulatedChip *chip, const ByteSink *sink);
// After "R<address>,<size>#": waits for the tool's 'C', then sends bytes.
void xmodem_begin_send(SimulatedChip *chip, uint32_t address, const uint8_t *bytes,
                       uint32_t length);
// One byte from the tool while a transfer runs.
void xmodem_receive(SimulatedChip *chip, uint8_t byte, const ByteSink *sink);

// elapsedMs more without a byte from the tool: a transfer waiting for one
// asks again, and gives up when the tool has stayed silent too long.
void uart_idle(SimulatedChip *chip, uint32_t elapsedMs, const ByteSink *sink);
