// The simulated chip under any bytes a tool might send: it never crashes, the
// protected bootloader never changes, and what it reports as written lies in
// the application area. On a UART it also leaves any XMODEM transfer once the
// tool stays silent, so a tool that died half-way never leaves it deaf.
//
// The first byte picks the link: even USB, odd UART. A USB input goes to the
// chip as it is; a UART input, to the UART's dialect in front of the chip,
// is records of a 2-byte length, that many bytes, and a byte of silence in
// quarter seconds, so transfers can time out half-way.
#include <cstdint>
#include <cstring>

#include "fuzz_platform.h"
#include "simulated_chip.h"
#include "uart_dialect.h"

namespace {

void discard(void *, const uint8_t *, size_t) {}

constexpr uint32_t kSilenceUnitMs = 250;
constexpr uint32_t kLongSilenceMs = 60000;

void feed_uart_records(UartDialect *uart, const uint8_t *data, size_t size,
                       const ByteSink *sink) {
    size_t at = 0;
    while (at + 2 <= size) {
        size_t length = static_cast<size_t>(data[at] << 8 | data[at + 1]);
        at += 2;
        if (length > size - at) length = size - at;
        uart_receive(uart, data + at, length, sink);
        at += length;
        if (at < size) uart_idle(uart, data[at++] * kSilenceUnitMs, sink);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static SimulatedChip chip;
    static UartDialect uart;
    static uint8_t bootloader[kBootloaderSize];
    if (size == 0) return 0;
    chip_power_on(&chip);
    memcpy(bootloader, chip.flash, sizeof bootloader);
    const ByteSink sink = {nullptr, discard, nullptr, nullptr};
    if ((data[0] & 1) != 0) {
        uart_start(&uart, &chip);
        feed_uart_records(&uart, data + 1, size - 1, &sink);
        uart_idle(&uart, kLongSilenceMs, &sink);
        fuzz_check(uart.xmodem.phase == XmodemPhase::kNone && chip.dataLeft == 0,
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
