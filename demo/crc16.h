// The CRC-16 the chip's bootloader computes (polynomial 0x1021, from 0): the
// one of XMODEM-CRC blocks, which the monitor's checksum command ("Z")
// answers with too, as the real bootloader shares its serial code's routine.
#pragma once

#include <cstdint>

uint16_t crc16(const uint8_t *bytes, uint32_t length);
