// The simulated chip under any bytes a tool might send: it never crashes, the
// protected bootloader never changes, and what it reports as written lies in
// the application area.
#include <cstdint>
#include <cstring>

#include "fuzz_platform.h"
#include "simulated_chip.h"

namespace {

void discard(void *, const uint8_t *, size_t) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static SimulatedChip chip;
    static uint8_t bootloader[kBootloaderSize];
    chip_power_on(&chip);
    memcpy(bootloader, chip.flash, sizeof bootloader);
    const ByteSink sink = {nullptr, discard};
    chip_receive(&chip, data, size, &sink);
    fuzz_check(memcmp(bootloader, chip.flash, sizeof bootloader) == 0, "bootloader unchanged");
    fuzz_check(!chip.flashWritten || (chip.writtenLow >= kBootloaderSize &&
                                      chip.writtenLow < chip.writtenHigh &&
                                      chip.writtenHigh <= kFlashSize),
               "written range inside the application area");
    return 0;
}
