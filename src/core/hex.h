#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra {

// Bytes as two lower-case hexadecimal digits each, without separators ("3f04c0").
std::string hexString(std::span<const uint8_t> bytes);

// The inverse of hexString; accepts either case. Absent for odd length or a non-hex digit.
std::optional<std::vector<uint8_t>> parseHex(std::string_view text);

}  // namespace nimbra
