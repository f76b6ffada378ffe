#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace nimbra {

// SHA-256 of the text's bytes (UTF-8 as stored), as 64 lower-case hexadecimal digits.
// Names a device's history archive and sample directory, so the form must never change.
std::string sha256Hex(std::string_view text);

std::array<uint8_t, 32> sha256(std::span<const uint8_t> bytes);

}  // namespace nimbra
