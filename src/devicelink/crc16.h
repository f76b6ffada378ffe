#pragma once

#include <cstdint>
#include <span>

namespace nimbra {

// The history transfer's checksum: polynomial 0x755B, initial value 0, most significant bit
// first, no reflection, no final XOR (check value 0x20FE over "123456789"). On the wire it is
// always written low byte first. Pure; any thread.
uint16_t crc16(std::span<const uint8_t> bytes);

}  // namespace nimbra
