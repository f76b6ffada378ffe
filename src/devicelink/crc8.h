#pragma once

#include <cstdint>
#include <span>

namespace nimbra {

// The command frames' checksum: polynomial 0x07, initial value 0, most significant bit first,
// no reflection, no final XOR (check value 0xF4 over "123456789"). Pure; any thread.
uint8_t crc8(std::span<const uint8_t> bytes);

}  // namespace nimbra
