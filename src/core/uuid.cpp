#include "core/uuid.h"

#include <algorithm>
#include <cctype>
#include <random>

#include <openssl/rand.h>

#include "core/hex.h"

namespace nimbra {

Uuid Uuid::random() {
  Bytes bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    // RAND_bytes only fails when the system cannot seed it; fall back to the kernel's
    // generator through std::random_device rather than hand out a fixed identifier.
    std::random_device device;
    for (auto& b : bytes) b = static_cast<uint8_t>(device());
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::string digits;
  for (size_t i = 0; i < text.size(); ++i) {
    bool dashPlace = i == 8 || i == 13 || i == 18 || i == 23;
    if (dashPlace != (text[i] == '-')) return std::nullopt;
    if (!dashPlace) digits.push_back(text[i]);
  }
  auto bytes = parseHex(digits);
  if (!bytes) return std::nullopt;
  Bytes out{};
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return Uuid(out);
}

std::string Uuid::text() const {
  std::string hex = hexString(bytes_);
  std::transform(hex.begin(), hex.end(), hex.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return hex.substr(0, 8) + '-' + hex.substr(8, 4) + '-' + hex.substr(12, 4) + '-' +
         hex.substr(16, 4) + '-' + hex.substr(20);
}

bool Uuid::isNil() const {
  return std::all_of(bytes_.begin(), bytes_.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace nimbra
