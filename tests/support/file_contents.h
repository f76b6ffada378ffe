#pragma once

// A file's whole content, read or replaced as-is, for what tests set up and look at (the
// program itself writes through writeFileAtomically).

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace nimbra::testing {

inline std::string readAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeAll(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace nimbra::testing
