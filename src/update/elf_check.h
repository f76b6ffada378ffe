#pragma once

#include <cstdint>
#include <span>

namespace nimbra::ElfCheck {

// e_machine of the architecture this program was built for (EM_X86_64 or EM_AARCH64).
uint16_t buildMachine();

// Whether the first bytes of an executable are a 64-bit little-endian ELF header for
// `machine`.
bool runsOn(std::span<const uint8_t> header, uint16_t machine);

}  // namespace nimbra::ElfCheck
