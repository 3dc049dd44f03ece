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

void end_transfer(SimulatedChip *chip) {
    chip->xmodem.phase = XmodemPhase::kNone;
    chip->dataLeft = 0;
}

void give_up(SimulatedChip *chip, const char *what) {
    const XmodemTransfer &transfer = chip->xmodem;
    chip_complain("XMODEM %s at 0x%08X abandoned at block %u after %u failed tries", what,
                  transfer.address, transfer.blocksDone + 1, transfer.failures);
    end_transfer(chip);
}

// --- "S": blocks from the tool ----------------------------------------------------------

void reject_block(SimulatedChip *chip, const ByteSink *sink) {
    send_byte(sink, kNak);
    if (++chip->xmodem.failures >= kMaxFailures) give_up(chip, "write");
}

void finish_receive(SimulatedChip *chip, const ByteSink *sink) {
    send_byte(sink, kAck);
    if (chip->dataLeft > 0) {
        chip_complain("XMODEM write at 0x%08X ended %u bytes short", chip->xmodem.address,
                      chip->dataLeft);
    }
    end_transfer(chip);
}

void take_block(SimulatedChip *chip, const ByteSink *sink) {
    XmodemTransfer *transfer = &chip->xmodem;
    const uint8_t *block = transfer->block;
    const uint8_t number = block[1];
    const uint16_t sentCrc = static_cast<uint16_t>((block[kXmodemBlockSize - 2] << 8) |
                                                   block[kXmodemBlockSize - 1]);
    const uint8_t due = block_number(transfer->blocksDone);
    if (block[2] != static_cast<uint8_t>(~number) ||
        crc16(block + 3, kXmodemDataSize) != sentCrc) {
        chip_complain("XMODEM block %u of the write at 0x%08X: bad CRC or number, NAK", number,
                      transfer->address);
        reject_block(chip, sink);
    } else if (number == due) {
        chip_store_data(chip, block + 3, kXmodemDataSize);
        ++transfer->blocksDone;
        transfer->failures = 0;
        send_byte(sink, kAck);
    } else if (transfer->blocksDone > 0 && number == block_number(transfer->blocksDone - 1)) {
        send_byte(sink, kAck);  // the tool missed our ACK and sent the block again
    } else {
        chip_complain("XMODEM block %u of the write at 0x%08X where %u was due, NAK", number,
                      transfer->address, due);
        reject_block(chip, sink);
    }
}

void receive_byte(SimulatedChip *chip, uint8_t byte, const ByteSink *sink) {
    XmodemTransfer *transfer = &chip->xmodem;
    if (transfer->blockFill == 0) {
        // Between blocks only these mean anything; the rest is line noise.
        if (byte == kEot) finish_receive(chip, sink);
        if (byte == kCancel) give_up(chip, "write cancelled by the tool");
        if (byte != kSoh) return;
    }
    transfer->block[transfer->blockFill++] = byte;
    if (transfer->blockFill == kXmodemBlockSize) {
        transfer->blockFill = 0;
        take_block(chip, sink);
    }
}

// A second without a byte: the first block is asked for again, a block cut
// short is dropped and NAKed.
void receiver_waited(SimulatedChip *chip, const ByteSink *sink) {
    XmodemTransfer *transfer = &chip->xmodem;
    if (transfer->blockFill > 0) {
        chip_complain("XMODEM block of the write at 0x%08X stopped after %u bytes, NAK",
                      transfer->address, transfer->blockFill);
        transfer->blockFill = 0;
    }
    if (transfer->blocksDone == 0) {
        send_byte(sink, kCrcStart);
        if (++transfer->failures >= kMaxFailures) give_up(chip, "write");
    } else {
        reject_block(chip, sink);
    }
}

// --- "R": blocks to the tool ----------------------------------------------------------

uint32_t blocks_to_send(const XmodemTransfer &transfer) {
    return (transfer.sourceLength + kXmodemDataSize - 1) / kXmodemDataSize;
}

// The next block, or EOT when all are ACKed. The last block is padded with
// zeros; the tool keeps only the bytes it asked for.
void send_next(SimulatedChip *chip, const ByteSink *sink) {
    XmodemTransfer *transfer = &chip->xmodem;
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

void resend(SimulatedChip *chip, const ByteSink *sink) {
    if (++chip->xmodem.failures >= kMaxFailures) {
        give_up(chip, "read");
    } else if (chip->xmodem.phase == XmodemPhase::kEnding) {
        send_byte(sink, kEot);
    } else {
        sink->write(sink->context, chip->xmodem.block, kXmodemBlockSize);
    }
}

void answer_byte(SimulatedChip *chip, uint8_t byte, const ByteSink *sink) {
    XmodemTransfer *transfer = &chip->xmodem;
    switch (transfer->phase) {
        case XmodemPhase::kAwaitingStart:
            if (byte == kCrcStart) send_next(chip, sink);
            break;
        case XmodemPhase::kSending:
            if (byte == kAck) {
                ++transfer->blocksDone;
                transfer->failures = 0;
                send_next(chip, sink);
            } else if (byte == kNak || (byte == kCrcStart && transfer->blocksDone == 0)) {
                // The tool asks for the first block again with 'C'.
                chip_complain(
                    "XMODEM block %u of the read at 0x%08X refused by the tool, sent again",
                    block_number(transfer->blocksDone), transfer->address);
                resend(chip, sink);
            }
            break;
        case XmodemPhase::kEnding:
            if (byte == kAck) end_transfer(chip);
            if (byte == kNak) resend(chip, sink);
            break;
        default: break;
    }
}

}  // namespace

bool uart_autobaud_byte(SimulatedChip *chip, uint8_t byte) {
    if (byte == kAutoBaudByte && chip->command == 0) chip->autoBaud = true;
    if (!chip->autoBaud) return false;
    // Everything up to the '#' is the bootloader timing the bits.
    if (byte == '#') chip->autoBaud = false;
    return true;
}

void xmodem_begin_receive(SimulatedChip *chip, const ByteSink *sink) {
    XmodemTransfer *transfer = &chip->xmodem;
    memset(transfer, 0, sizeof *transfer);
    transfer->phase = XmodemPhase::kReceiving;
    transfer->address = chip->dataAddress;
    send_byte(sink, kCrcStart);
}

void xmodem_begin_send(SimulatedChip *chip, uint32_t address, const uint8_t *bytes,
                       uint32_t length) {
    XmodemTransfer *transfer = &chip->xmodem;
    memset(transfer, 0, sizeof *transfer);
    transfer->phase = XmodemPhase::kAwaitingStart;
    transfer->address = address;
    transfer->source = bytes;
    transfer->sourceLength = length;
}

void xmodem_receive(SimulatedChip *chip, uint8_t byte, const ByteSink *sink) {
    chip->xmodem.silentMs = 0;
    if (chip->xmodem.phase == XmodemPhase::kReceiving) {
        receive_byte(chip, byte, sink);
    } else {
        answer_byte(chip, byte, sink);
    }
}

void uart_idle(SimulatedChip *chip, uint32_t elapsedMs, const ByteSink *sink) {
    XmodemTransfer *transfer = &chip->xmodem;
    if (transfer->phase == XmodemPhase::kNone) return;
    transfer->silentMs += elapsedMs;
    while (transfer->phase != XmodemPhase::kNone && transfer->silentMs >= kRetryIntervalMs) {
        transfer->silentMs -= kRetryIntervalMs;
        if (transfer->phase == XmodemPhase::kReceiving) {
            receiver_waited(chip, sink);
        } else if (++transfer->failures >= kMaxFailures) {
            // A sender waits for the tool's answer and never sends unasked.
            give_up(chip, "read");
        }
    }
}
