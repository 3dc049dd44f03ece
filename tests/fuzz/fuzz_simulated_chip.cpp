// The simulated chip under any bytes a tool might send: it never crashes, the
// protected bootloader never changes, and what it reports as written lies in
// the application area. On a UART it also leaves any XMODEM transfer once the
// tool stays silent, so a tool that died half-way never leaves it deaf.
//
// The first byte picks the dialect: even USB, odd UART. A USB input is fed as
// it is; a UART input is records of a 2-byte length, that many bytes, and a
// byte of silence in quarter seconds, so transfers can time out half-way.
#include <cstdint>
#include <cstring>

#include "fuzz_platform.h"
#include "simulated_chip.h"

namespace {

void discard(void *, const uint8_t *, size_t) {}

constexpr uint32_t kSilenceUnitMs = 250;
constexpr uint32_t kLongSilenceMs = 60000;

void feed_uart_records(SimulatedChip *chip, const uint8_t *data, size_t size,
                       const ByteSink *sink) {
    size_t at = 0;
    while (at + 2 <= size) {
        size_t length = static_cast<size_t>(data[at] << 8 | data[at + 1]);
        at += 2;
        if (length > size - at) length = size - at;
        chip_receive(chip, data + at, length, sink);
        at += length;
        if (at < size) uart_idle(chip, data[at++] * kSilenceUnitMs, sink);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static SimulatedChip chip;
    static uint8_t bootloader[kBootloaderSize];
    if (size == 0) return 0;
    const bool uart = (data[0] & 1) != 0;
    chip_power_on(&chip, uart ? Dialect::kUart : Dialect::kUsb);
    memcpy(bootloader, chip.flash, sizeof bootloader);
    const ByteSink sink = {nullptr, discard};
    if (uart) {
        feed_uart_records(&chip, data + 1, size - 1, &sink);
        uart_idle(&chip, kLongSilenceMs, &sink);
        fuzz_check(chip.xmodem.phase == XmodemPhase::kNone && chip.dataLeft == 0,
                   "a silent tool ends any transfer");
    } else {
        chip_receive(&chip, data + 1, size - 1, &sink);
    }
    fuzz_check(memcmp(bootloader, chip.flash, sizeof bootloader) == 0, "bootloader unchanged");
    fuzz_check(!chip.flashWritten || (chip.writtenLow >= kBootloaderSize &&
                                      chip.writtenLow < chip.writtenHigh &&
                                      chip.writtenHigh <= kFlashSize),
               "written range inside the application area");
    return 0;
}
