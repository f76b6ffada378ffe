#include "core/sha256.h"

#include <openssl/sha.h>

#include "core/hex.h"

namespace nimbra {

std::array<uint8_t, 32> sha256(std::span<const uint8_t> bytes) {
  std::array<uint8_t, 32> digest{};
  SHA256(bytes.data(), bytes.size(), digest.data());
  return digest;
}

std::string sha256Hex(std::string_view text) {
  auto digest = sha256({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  return hexString(digest);
}

}  // namespace nimbra
