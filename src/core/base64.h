#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra {

// Standard Base64 (RFC 4648 alphabet) with "=" padding, as binary travels inside JSON.
std::string base64Encode(std::span<const uint8_t> bytes);

// Strict: the length must be a multiple of four, padding only at the end, no white space.
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

}  // namespace nimbra
