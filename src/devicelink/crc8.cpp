#include "devicelink/crc8.h"

#include <array>

namespace nimbra {
namespace {

constexpr std::array<uint8_t, 256> makeTable() {
  std::array<uint8_t, 256> table{};
  for (int value = 0; value < 256; ++value) {
    uint8_t crc = static_cast<uint8_t>(value);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x80) ? static_cast<uint8_t>((crc << 1) ^ 0x07) : static_cast<uint8_t>(crc << 1);
    }
    table[value] = crc;
  }
  return table;
}

constexpr std::array<uint8_t, 256> kTable = makeTable();

}  // namespace

uint8_t crc8(std::span<const uint8_t> bytes) {
  uint8_t crc = 0;
  for (uint8_t byte : bytes) crc = kTable[crc ^ byte];
  return crc;
}

}  // namespace nimbra
