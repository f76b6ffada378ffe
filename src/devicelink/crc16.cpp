#include "devicelink/crc16.h"

#include <array>

namespace nimbra {
namespace {

constexpr uint16_t kPolynomial = 0x755B;

// table[i] is the register after shifting the byte i, placed in the high byte, eight times.
constexpr std::array<uint16_t, 256> makeTable() {
  std::array<uint16_t, 256> table{};
  for (int value = 0; value < 256; ++value) {
    uint16_t crc = static_cast<uint16_t>(value << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ kPolynomial)
                           : static_cast<uint16_t>(crc << 1);
    }
    table[value] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kTable = makeTable();

}  // namespace

uint16_t crc16(std::span<const uint8_t> bytes) {
  uint16_t crc = 0;
  for (uint8_t byte : bytes) {
    crc = static_cast<uint16_t>((crc << 8) ^ kTable[static_cast<uint8_t>((crc >> 8) ^ byte)]);
  }
  return crc;
}

}  // namespace nimbra
