#include "update/elf_check.h"

#include <cstring>

#include <elf.h>

namespace nimbra::ElfCheck {

uint16_t buildMachine() {
#if defined(__x86_64__)
  return EM_X86_64;
#elif defined(__aarch64__)
  return EM_AARCH64;
#endif
}

bool runsOn(std::span<const uint8_t> header, uint16_t machine) {
  if (header.size() < sizeof(Elf64_Ehdr)) return false;
  if (std::memcmp(header.data(), ELFMAG, SELFMAG) != 0) return false;
  if (header[EI_CLASS] != ELFCLASS64 || header[EI_DATA] != ELFDATA2LSB) return false;
  // e_machine is a little-endian 16-bit word at offset 18 in every ELF header.
  uint16_t found = static_cast<uint16_t>(header[18] | (header[19] << 8));
  return found == machine;
}

}  // namespace nimbra::ElfCheck
