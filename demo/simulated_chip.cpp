#include "simulated_chip.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "crc16.h"

namespace {

// What the tool reads to tell which chip it has: the Cortex-M0+ core's CPUID
// first, then the device ID of a SAMD21G18A, revision D.
constexpr uint32_t kCpuIdAddress = 0xE000ED00;
constexpr uint32_t kCortexM0PlusCpuId = 0x410CC601;
constexpr uint32_t kDeviceIdAddress = 0x41002018;
constexpr uint32_t kSamd21G18aDeviceId = 0x10010305;

// The core's reset control: a write with the key and SYSRESETREQ restarts
// the chip into the application.
constexpr uint32_t kResetControlAddress = 0xE000ED0C;
constexpr uint32_t kResetControlKey = 0x05FA;
constexpr uint32_t kSystemResetRequest = 0x4;

// The flash controller (NVMCTRL) and the values the tool checks.
constexpr uint32_t kNvmBase = 0x41004000;
constexpr uint32_t kNvmControlA = kNvmBase + 0x00;
constexpr uint32_t kNvmControlB = kNvmBase + 0x04;
constexpr uint32_t kNvmParameters = kNvmBase + 0x08;
constexpr uint32_t kNvmInterruptFlags = kNvmBase + 0x14;
constexpr uint32_t kNvmStatus = kNvmBase + 0x18;
constexpr uint32_t kNvmAddress = kNvmBase + 0x1C;
constexpr uint32_t kNvmLock = kNvmBase + 0x20;
// 64-byte pages (PSZ 3) and the number of pages.
constexpr uint32_t kNvmParameterValue = (3u << 16) | (kFlashSize / kFlashPageSize);
constexpr uint8_t kNvmReady = 0x01;
constexpr uint8_t kNvmError = 0x02;
constexpr uint16_t kNvmProgrammingError = 0x04;  // a wrong key or an unknown command
constexpr uint16_t kNvmLockError = 0x08;         // a protected row or page
constexpr uint16_t kNvmStatusErrors = 0x1E;
constexpr uint32_t kNvmCommandKey = 0xA5;
constexpr uint32_t kNvmEraseRow = 0x02;
constexpr uint32_t kNvmWritePage = 0x04;
constexpr uint32_t kNvmClearPageBuffer = 0x44;

// The tool uses chip erase (X), buffer write (Y) and buffer checksum (Z)
// only when the version answer lists them in this tag.
constexpr char kVersionAnswer[] = "v2.0 [Arduino:XYZ] simulated SAMD21G18A\n\r";

uint8_t factory_flash_byte(uint32_t address) {
    if (address >= kBootloaderSize) return 0xFF;
    // A vector table first: the stack at the top of RAM, a reset handler in
    // the bootloader. The tool tells Cortex-M chips from ARM7 ones by word 0,
    // which is a branch (0xEA......) on the latter.
    static const uint8_t kVectors[8] = {0x00, 0x80, 0x00, 0x20, 0xD9, 0x00, 0x00, 0x00};
    if (address < sizeof kVectors) return kVectors[address];
    // Not erased (0xFF) nor zero-filled: any write that reached it shows.
    return static_cast<uint8_t>(address * 29u + 0x3Bu);
}

// The bytes behind [address, address + length) when they lie in one of the
// chip's memories; null when any of them is not there.
uint8_t *memory_at(SimulatedChip *chip, uint32_t address, uint32_t length) {
    struct Area {
        uint32_t start, size;
        uint8_t *bytes;
    };
    const Area areas[] = {{0, kFlashSize, chip->flash},
                          {kRamStart, kRamSize, chip->ram},
                          {kUserRowStart, kUserRowSize, chip->userRow}};
    for (const Area &area : areas) {
        if (address >= area.start &&
            static_cast<uint64_t>(address - area.start) + length <= area.size) {
            return area.bytes + (address - area.start);
        }
    }
    return nullptr;
}

bool in_ram(uint32_t address) { return address - kRamStart < kRamSize; }

void send(const ByteSink *sink, const void *data, size_t length) {
    sink->write(sink->context, static_cast<const uint8_t *>(data), length);
}

void send_text(const ByteSink *sink, const char *text) { send(sink, text, strlen(text)); }

// --- Flash programming --------------------------------------------------------------

// Programming only clears bits, as on the real part: a page that was not
// erased first ends up as the AND of old and new. Returns false when part of
// the range is the protected bootloader, which stays as it was.
bool program_flash(SimulatedChip *chip, uint32_t address, const uint8_t *bytes, uint32_t length) {
    bool allowed = true;
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t target = address + i;
        if (target < kBootloaderSize) {
            allowed = false;
            continue;
        }
        chip->flash[target] &= bytes[i];
        if (!chip->flashWritten || target < chip->writtenLow) chip->writtenLow = target;
        if (!chip->flashWritten || target >= chip->writtenHigh) chip->writtenHigh = target + 1;
        chip->flashWritten = true;
    }
    return allowed;
}

void nvm_fail(SimulatedChip *chip, uint16_t statusBit) {
    chip->nvmStatus |= statusBit;
    chip->nvmInterruptFlags |= kNvmError;
}

void erase_row(SimulatedChip *chip, uint32_t address) {
    uint32_t row = address & ~(kFlashRowSize - 1);
    if (row >= kFlashSize) {
        chip_complain("erase of the row at 0x%08X: no flash there", row);
        nvm_fail(chip, kNvmProgrammingError);
    } else if (row < kBootloaderSize) {
        chip_complain("erase of the row at 0x%08X refused: the bootloader is protected", row);
        nvm_fail(chip, kNvmLockError);
    } else {
        memset(chip->flash + row, 0xFF, kFlashRowSize);
        chip->flashErased = true;
    }
}

void write_page(SimulatedChip *chip, uint32_t address) {
    uint32_t page = address & ~(kFlashPageSize - 1);
    if (page >= kFlashSize) {
        chip_complain("write of the page at 0x%08X: no flash there", page);
        nvm_fail(chip, kNvmProgrammingError);
    } else if (!program_flash(chip, page, chip->pageBuffer, kFlashPageSize)) {
        chip_complain("write of the page at 0x%08X refused: the bootloader is protected", page);
        nvm_fail(chip, kNvmLockError);
    }
    memset(chip->pageBuffer, 0xFF, sizeof chip->pageBuffer);
}

// A write into the controller's command register.
void run_nvm_command(SimulatedChip *chip, uint32_t value) {
    if (((value >> 8) & 0xFF) != kNvmCommandKey) {
        chip_complain("flash command 0x%04X without its key: not run", value & 0xFFFF);
        nvm_fail(chip, kNvmProgrammingError);
        return;
    }
    uint32_t address = chip->nvmAddress * 2;
    switch (value & 0x7F) {
        case kNvmEraseRow: erase_row(chip, address); break;
        case kNvmWritePage: write_page(chip, address); break;
        case kNvmClearPageBuffer: memset(chip->pageBuffer, 0xFF, sizeof chip->pageBuffer); break;
        default:
            chip_complain("flash command 0x%02X is not simulated", value & 0x7F);
            nvm_fail(chip, kNvmProgrammingError);
    }
}

// --- Registers and memory -----------------------------------------------------------

bool read_register(const SimulatedChip *chip, uint32_t address, uint32_t *value) {
    switch (address) {
        case kCpuIdAddress: *value = kCortexM0PlusCpuId; return true;
        case kDeviceIdAddress: *value = kSamd21G18aDeviceId; return true;
        case kResetControlAddress: *value = 0xFA050000; return true;
        case kNvmControlA: *value = 0; return true;
        case kNvmControlB: *value = chip->nvmControlB; return true;
        case kNvmParameters: *value = kNvmParameterValue; return true;
        case kNvmInterruptFlags: *value = chip->nvmInterruptFlags; return true;
        case kNvmStatus: *value = chip->nvmStatus; return true;
        case kNvmAddress: *value = chip->nvmAddress; return true;
        case kNvmLock: *value = 0xFFFF; return true;  // no region locked
        default: return false;
    }
}

// Read-only registers take writes and keep their value, as on the chip.
bool write_register(SimulatedChip *chip, uint32_t address, uint32_t value) {
    uint32_t ignored = 0;
    switch (address) {
        case kNvmControlA: run_nvm_command(chip, value); return true;
        case kNvmControlB: chip->nvmControlB = value; return true;
        case kNvmInterruptFlags: chip->nvmInterruptFlags &= ~(value & kNvmError); return true;
        case kNvmStatus: chip->nvmStatus &= ~(value & kNvmStatusErrors); return true;
        case kNvmAddress: chip->nvmAddress = value & 0x3FFFFF; return true;
        case kResetControlAddress:
            if ((value >> 16) == kResetControlKey && (value & kSystemResetRequest) != 0) {
                chip->resetRequested = true;
            }
            return true;
        default: return read_register(chip, address, &ignored);
    }
}

// Stores into flash or the user row go to the controller's page buffer.
void store_byte(SimulatedChip *chip, uint32_t address, uint8_t value) {
    if (in_ram(address)) {
        chip->ram[address - kRamStart] = value;
    } else {
        chip->pageBuffer[address % kFlashPageSize] = value;
    }
}

bool read_value(SimulatedChip *chip, uint32_t address, uint32_t width, uint32_t *value) {
    const uint8_t *bytes = memory_at(chip, address, width);
    uint32_t word = 0;
    *value = 0;
    if (bytes != nullptr) {
        for (uint32_t i = width; i-- > 0;) *value = (*value << 8) | bytes[i];
        return true;
    }
    if (!read_register(chip, address & ~3u, &word)) return false;
    *value = word >> (8 * (address & 3u));
    return true;
}

void write_value(SimulatedChip *chip, uint32_t address, uint32_t width, uint32_t value) {
    if (width == 4 && write_register(chip, address, value)) return;
    if (memory_at(chip, address, width) == nullptr) {
        chip_complain("write of %u bytes at 0x%08X: nothing there", width, address);
        return;
    }
    for (uint32_t i = 0; i < width; ++i) store_byte(chip, address + i, (value >> (8 * i)) & 0xFF);
}

// --- The monitor's commands ---------------------------------------------------------

void send_value(SimulatedChip *chip, const ByteSink *sink, uint32_t address, uint32_t width) {
    uint32_t value = 0;
    if (!read_value(chip, address, width, &value)) {
        // The real chip faults on a bus error and never answers.
        chip_complain("read of %u bytes at 0x%08X: nothing there, no answer", width, address);
        return;
    }
    uint8_t bytes[4];
    for (uint32_t i = 0; i < width; ++i) bytes[i] = (value >> (8 * i)) & 0xFF;
    send(sink, bytes, width);
}

void send_memory(SimulatedChip *chip, const ByteSink *sink, uint32_t address, uint32_t length) {
    const uint8_t *bytes = memory_at(chip, address, length);
    if (bytes == nullptr) {
        chip_complain("read of %u bytes at 0x%08X: outside memory, no answer", length, address);
    } else if (sink->sendData != nullptr) {
        sink->sendData(sink->context, address, bytes, length);
    } else {
        send(sink, bytes, length);
    }
}

void begin_data(SimulatedChip *chip, const ByteSink *sink, uint32_t address, uint32_t length) {
    chip->dataAddress = address;
    chip->dataLeft = length;
    chip->dataSize = length;
    chip->dataDiscarded = memory_at(chip, address, length) == nullptr;
    if (chip->dataDiscarded) {
        chip_complain("write of %u bytes at 0x%08X: outside memory, data dropped", length, address);
    }
    if (sink->awaitData != nullptr) sink->awaitData(sink->context, address);
}

// The bootloader erases row by row from the given address to the end.
void erase_from(SimulatedChip *chip, uint32_t address) {
    uint32_t row = address & ~(kFlashRowSize - 1);
    if (row < kBootloaderSize) {
        chip_complain("erase from 0x%08X: the protected bootloader rows stay as they were",
                      address);
        row = kBootloaderSize;
    }
    if (row < kFlashSize) memset(chip->flash + row, 0xFF, kFlashSize - row);
    chip->flashErased = chip->flashErased || row < kFlashSize;
}

// "Y<address>,0#" names the RAM buffer; "Y<address>,<size>#" copies it into flash.
void copy_buffer(SimulatedChip *chip, const ByteSink *sink, uint32_t address, uint32_t length) {
    if (length == 0) {
        chip->copySource = address;
        send_text(sink, "Y\n\r");
        return;
    }
    const uint8_t *source = memory_at(chip, chip->copySource, length);
    if (source == nullptr || static_cast<uint64_t>(address) + length > kFlashSize) {
        chip_complain("copy of %u bytes from 0x%08X to flash at 0x%08X: outside memory, no answer",
                      length, chip->copySource, address);
        return;
    }
    if (!program_flash(chip, address, source, length)) {
        chip_complain("copy to 0x%08X: the protected bootloader rows stay as they were", address);
    }
    send_text(sink, "Y\n\r");
}

void send_checksum(SimulatedChip *chip, const ByteSink *sink, uint32_t address, uint32_t length) {
    const uint8_t *bytes = memory_at(chip, address, length);
    if (bytes == nullptr) {
        chip_complain("checksum of %u bytes at 0x%08X: outside memory, no answer", length, address);
        return;
    }
    char answer[16];
    snprintf(answer, sizeof answer, "Z%08X#\n\r", crc16(bytes, length));
    send_text(sink, answer);
}

void execute(SimulatedChip *chip, const ByteSink *sink) {
    // "X2000#" has one number; "w41002018,4#" and "S20004040,1000#" have two.
    uint32_t address = chip->sawComma ? chip->firstNumber : chip->number;
    uint32_t second = chip->sawComma ? chip->number : 0;
    switch (chip->command) {
        case 'N': send_text(sink, "\n\r"); break;  // binary mode: the only one simulated
        case 'V': send_text(sink, kVersionAnswer); break;
        case 'w': send_value(chip, sink, address, 4); break;
        case 'h': send_value(chip, sink, address, 2); break;
        case 'o': send_value(chip, sink, address, 1); break;
        case 'W': write_value(chip, address, 4, second); break;
        case 'H': write_value(chip, address, 2, second); break;
        case 'O': write_value(chip, address, 1, second); break;
        case 'S': begin_data(chip, sink, address, second); break;
        case 'R': send_memory(chip, sink, address, second); break;
        case 'X':
            erase_from(chip, address);
            send_text(sink, "X\n\r");
            break;
        case 'Y': copy_buffer(chip, sink, address, second); break;
        case 'Z': send_checksum(chip, sink, address, second); break;
        case 'G': chip_complain("running code at 0x%08X is not simulated: ignored", address); break;
        default:
            chip_complain("unknown command 0x%02X: ignored",
                          static_cast<unsigned char>(chip->command));
    }
}

void start_command(SimulatedChip *chip, char letter) {
    chip->command = letter;
    chip->sawComma = false;
    chip->firstNumber = 0;
    chip->number = 0;
}

int hex_digit(uint8_t byte) {
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    return -1;
}

void receive_command_byte(SimulatedChip *chip, uint8_t byte, const ByteSink *sink) {
    int digit = hex_digit(byte);
    if (byte == '#') {
        execute(chip, sink);
        start_command(chip, 0);
    } else if (digit >= 0) {
        chip->number = (chip->number << 4) | static_cast<uint32_t>(digit);
    } else if (byte == ',') {
        chip->firstNumber = chip->number;
        chip->number = 0;
        chip->sawComma = true;
    } else {
        start_command(chip, static_cast<char>(byte));
    }
}

}  // namespace

// printf-style, so that the format attribute has the compiler check each call.
void chip_complain(const char *format, ...) {  // NOLINT(cert-dcl50-cpp)
    fputs("simulated_board: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    // clang-tidy 14's va_list checker loses track of the va_start above.
    vfprintf(stderr, format, arguments);  // NOLINT(clang-analyzer-valist.Uninitialized)
    fputc('\n', stderr);
    va_end(arguments);
}

void chip_store_data(SimulatedChip *chip, const uint8_t *data, size_t length) {
    for (size_t i = 0; i < length && chip->dataLeft > 0; ++i) {
        if (!chip->dataDiscarded) store_byte(chip, chip->dataAddress, data[i]);
        ++chip->dataAddress;
        --chip->dataLeft;
    }
}

void chip_end_data(SimulatedChip *chip) { chip->dataLeft = 0; }

bool chip_at_moment(const SimulatedChip *chip, Moment moment, uint8_t next) {
    switch (moment) {
        case Moment::kWriting:
            return chip->flashErased && chip->dataLeft > 0 && chip->dataLeft <= chip->dataSize / 2;
        case Moment::kAwaitingAnswer:
            return next == '#' && chip->command == 'Y' && chip->sawComma && chip->number != 0 &&
                   chip->dataLeft == 0;
        case Moment::kNone: break;
    }
    return false;
}

void chip_power_on(SimulatedChip *chip) {
    memset(chip, 0, sizeof *chip);
    for (uint32_t address = 0; address < kFlashSize; ++address) {
        chip->flash[address] = factory_flash_byte(address);
    }
    // The factory's fuses with the bootloader's 8 KiB protected (BOOTPROT),
    // brown-out detection on, no region locked.
    static const uint8_t kUserRowStartBytes[8] = {0xFA, 0xC7, 0xE0, 0xD8, 0x5D, 0xFC, 0xFF, 0xFF};
    memset(chip->userRow, 0xFF, sizeof chip->userRow);
    memcpy(chip->userRow, kUserRowStartBytes, sizeof kUserRowStartBytes);
    memset(chip->pageBuffer, 0xFF, sizeof chip->pageBuffer);
    chip->nvmControlB = 0x80;
    chip->nvmInterruptFlags = kNvmReady;
}

void chip_receive(SimulatedChip *chip, const uint8_t *data, size_t length, const ByteSink *sink) {
    for (size_t i = 0; i < length; ++i) {
        if (chip->resetRequested) {
            // The application runs now; it does not speak the bootloader's protocol.
            chip_complain("%zu bytes after the reset ignored", length - i);
            return;
        }
        if (chip->dataLeft > 0) {
            chip_store_data(chip, &data[i], 1);
        } else {
            receive_command_byte(chip, data[i], sink);
        }
    }
}
