#include "uart_dialect.h"

#include <cstring>

#include "crc16.h"
#include "simulated_chip.h"

namespace {

constexpr uint8_t kAutoBaudByte = 0x80;
constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kCancel = 0x18;
constexpr uint8_t kCrcStart = 'C';

// A waiting receiver asks again ('C' before the first block, NAK after) each
// second; after ten failed tries or silent seconds in a row the bootloader
// drops the transfer and takes commands again, so a tool that died half-way
// does not leave it deaf to the next one.
constexpr uint32_t kRetryIntervalMs = 1000;
constexpr unsigned kMaxFailures = 10;

void send_byte(const ByteSink *sink, uint8_t byte) { sink->write(sink->context, &byte, 1); }

uint8_t block_number(uint32_t blocksDone) { return static_cast<uint8_t>(blocksDone + 1); }

void end_transfer(UartDialect *uart) {
    uart->xmodem.phase = XmodemPhase::kNone;
    chip_end_data(uart->chip);
}

void give_up(UartDialect *uart, const char *what) {
    const XmodemTransfer &transfer = uart->xmodem;
    chip_complain("XMODEM %s at 0x%08X abandoned at block %u after %u failed tries", what,
                  transfer.address, transfer.blocksDone + 1, transfer.failures);
    end_transfer(uart);
}

// --- "S": blocks from the tool ----------------------------------------------------------

void reject_block(UartDialect *uart, const ByteSink *sink) {
    send_byte(sink, kNak);
    if (++uart->xmodem.failures >= kMaxFailures) give_up(uart, "write");
}

void finish_receive(UartDialect *uart, const ByteSink *sink) {
    send_byte(sink, kAck);
    if (uart->chip->dataLeft > 0) {
        chip_complain("XMODEM write at 0x%08X ended %u bytes short", uart->xmodem.address,
                      uart->chip->dataLeft);
    }
    end_transfer(uart);
}

void take_block(UartDialect *uart, const ByteSink *sink) {
    XmodemTransfer *transfer = &uart->xmodem;
    const uint8_t *block = transfer->block;
    const uint8_t number = block[1];
    const uint16_t sentCrc = static_cast<uint16_t>((block[kXmodemBlockSize - 2] << 8) |
                                                   block[kXmodemBlockSize - 1]);
    const uint8_t due = block_number(transfer->blocksDone);
    if (block[2] != static_cast<uint8_t>(~number) ||
        crc16(block + 3, kXmodemDataSize) != sentCrc) {
        chip_complain("XMODEM block %u of the write at 0x%08X: bad CRC or number, NAK", number,
                      transfer->address);
        reject_block(uart, sink);
    } else if (number == due) {
        chip_store_data(uart->chip, block + 3, kXmodemDataSize);
        ++transfer->blocksDone;
        transfer->failures = 0;
        send_byte(sink, kAck);
    } else if (transfer->blocksDone > 0 && number == block_number(transfer->blocksDone - 1)) {
        send_byte(sink, kAck);  // the tool missed our ACK and sent the block again
    } else {
        chip_complain("XMODEM block %u of the write at 0x%08X where %u was due, NAK", number,
                      transfer->address, due);
        reject_block(uart, sink);
    }
}

void receive_byte(UartDialect *uart, uint8_t byte, const ByteSink *sink) {
    XmodemTransfer *transfer = &uart->xmodem;
    if (transfer->blockFill == 0) {
        // Between blocks only these mean anything; the rest is line noise.
        if (byte == kEot) finish_receive(uart, sink);
        if (byte == kCancel) give_up(uart, "write cancelled by the tool");
        if (byte != kSoh) return;
    }
    transfer->block[transfer->blockFill++] = byte;
    if (transfer->blockFill == kXmodemBlockSize) {
        transfer->blockFill = 0;
        take_block(uart, sink);
    }
}

// A second without a byte: the first block is asked for again, a block cut
// short is dropped and NAKed.
void receiver_waited(UartDialect *uart, const ByteSink *sink) {
    XmodemTransfer *transfer = &uart->xmodem;
    if (transfer->blockFill > 0) {
        chip_complain("XMODEM block of the write at 0x%08X stopped after %u bytes, NAK",
                      transfer->address, transfer->blockFill);
        transfer->blockFill = 0;
    }
    if (transfer->blocksDone == 0) {
        send_byte(sink, kCrcStart);
        if (++transfer->failures >= kMaxFailures) give_up(uart, "write");
    } else {
        reject_block(uart, sink);
    }
}

// --- "R": blocks to the tool ----------------------------------------------------------

uint32_t blocks_to_send(const XmodemTransfer &transfer) {
    return (transfer.sourceLength + kXmodemDataSize - 1) / kXmodemDataSize;
}

// The next block, or EOT when all are ACKed. The last block is padded with
// zeros; the tool keeps only the bytes it asked for.
void send_next(UartDialect *uart, const ByteSink *sink) {
    XmodemTransfer *transfer = &uart->xmodem;
    if (transfer->blocksDone == blocks_to_send(*transfer)) {
        transfer->phase = XmodemPhase::kEnding;
        send_byte(sink, kEot);
        return;
    }
    const uint32_t offset = transfer->blocksDone * kXmodemDataSize;
    const uint32_t length =
        transfer->sourceLength - offset < kXmodemDataSize ? transfer->sourceLength - offset
                                                          : kXmodemDataSize;
    uint8_t *block = transfer->block;
    const uint8_t number = block_number(transfer->blocksDone);
    block[0] = kSoh;
    block[1] = number;
    block[2] = static_cast<uint8_t>(~number);
    memset(block + 3, 0, kXmodemDataSize);
    memcpy(block + 3, transfer->source + offset, length);
    const uint16_t crc = crc16(block + 3, kXmodemDataSize);
    block[kXmodemBlockSize - 2] = static_cast<uint8_t>(crc >> 8);
    block[kXmodemBlockSize - 1] = static_cast<uint8_t>(crc & 0xFF);
    transfer->phase = XmodemPhase::kSending;
    sink->write(sink->context, block, kXmodemBlockSize);
}

void resend(UartDialect *uart, const ByteSink *sink) {
    if (++uart->xmodem.failures >= kMaxFailures) {
        give_up(uart, "read");
    } else if (uart->xmodem.phase == XmodemPhase::kEnding) {
        send_byte(sink, kEot);
    } else {
        sink->write(sink->context, uart->xmodem.block, kXmodemBlockSize);
    }
}

void answer_byte(UartDialect *uart, uint8_t byte, const ByteSink *sink) {
    XmodemTransfer *transfer = &uart->xmodem;
    switch (transfer->phase) {
        case XmodemPhase::kAwaitingStart:
            if (byte == kCrcStart) send_next(uart, sink);
            break;
        case XmodemPhase::kSending:
            if (byte == kAck) {
                ++transfer->blocksDone;
                transfer->failures = 0;
                send_next(uart, sink);
            } else if (byte == kNak || (byte == kCrcStart && transfer->blocksDone == 0)) {
                // The tool asks for the first block again with 'C'.
                chip_complain(
                    "XMODEM block %u of the read at 0x%08X refused by the tool, sent again",
                    block_number(transfer->blocksDone), transfer->address);
                resend(uart, sink);
            }
            break;
        case XmodemPhase::kEnding:
            if (byte == kAck) end_transfer(uart);
            if (byte == kNak) resend(uart, sink);
            break;
        default: break;
    }
}

// A bootloader on a UART counts 0x80 bytes and the '#' after them, between
// commands, as its auto-baud sequence: true when byte is part of one and so
// is not for the chip.
bool autobaud_byte(UartDialect *uart, uint8_t byte) {
    if (byte == kAutoBaudByte && uart->chip->command == 0) uart->autoBaud = true;
    if (!uart->autoBaud) return false;
    // Everything up to the '#' is the bootloader timing the bits.
    if (byte == '#') uart->autoBaud = false;
    return true;
}

// One byte from the tool while a transfer runs.
void xmodem_receive(UartDialect *uart, uint8_t byte, const ByteSink *sink) {
    uart->xmodem.silentMs = 0;
    if (uart->xmodem.phase == XmodemPhase::kReceiving) {
        receive_byte(uart, byte, sink);
    } else {
        answer_byte(uart, byte, sink);
    }
}

// --- The chip's sink: answers as they are, data in blocks ---------------------------

struct ChipLink {
    UartDialect *uart;
    const ByteSink *out;  // the tool's side
};

void pass_answer(void *context, const uint8_t *data, size_t length) {
    const ByteSink *out = static_cast<ChipLink *>(context)->out;
    out->write(out->context, data, length);
}

// After "R<address>,<size>#": waits for the tool's 'C', then sends bytes.
void begin_send(void *context, uint32_t address, const uint8_t *bytes, uint32_t length) {
    XmodemTransfer *transfer = &static_cast<ChipLink *>(context)->uart->xmodem;
    memset(transfer, 0, sizeof *transfer);
    transfer->phase = XmodemPhase::kAwaitingStart;
    transfer->address = address;
    transfer->source = bytes;
    transfer->sourceLength = length;
}

// After "S<address>,<size>#": asks for the first block.
void begin_receive(void *context, uint32_t address) {
    const ChipLink *link = static_cast<ChipLink *>(context);
    XmodemTransfer *transfer = &link->uart->xmodem;
    memset(transfer, 0, sizeof *transfer);
    transfer->phase = XmodemPhase::kReceiving;
    transfer->address = address;
    send_byte(link->out, kCrcStart);
}

}  // namespace

void uart_start(UartDialect *uart, SimulatedChip *chip) {
    memset(uart, 0, sizeof *uart);
    uart->chip = chip;
    uart->autoBaud = true;
}

void uart_receive(UartDialect *uart, const uint8_t *data, size_t length, const ByteSink *sink) {
    ChipLink link = {uart, sink};
    const ByteSink chipSink = {&link, pass_answer, begin_send, begin_receive};
    for (size_t i = 0; i < length; ++i) {
        if (uart->xmodem.phase != XmodemPhase::kNone) {
            xmodem_receive(uart, data[i], sink);
        } else if (uart->chip->resetRequested || !autobaud_byte(uart, data[i])) {
            // After a reset the application runs: the chip tells what it ignores.
            chip_receive(uart->chip, &data[i], 1, &chipSink);
        }
    }
}

void uart_idle(UartDialect *uart, uint32_t elapsedMs, const ByteSink *sink) {
    XmodemTransfer *transfer = &uart->xmodem;
    if (transfer->phase == XmodemPhase::kNone) return;
    transfer->silentMs += elapsedMs;
    while (transfer->phase != XmodemPhase::kNone && transfer->silentMs >= kRetryIntervalMs) {
        transfer->silentMs -= kRetryIntervalMs;
        if (transfer->phase == XmodemPhase::kReceiving) {
            receiver_waited(uart, sink);
        } else if (++transfer->failures >= kMaxFailures) {
            // A sender waits for the tool's answer and never sends unasked.
            give_up(uart, "read");
        }
    }
}
