#include "core/base64.h"

#include <openssl/evp.h>

namespace nimbra {

std::string base64Encode(std::span<const uint8_t> bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3), '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(written));
  return text;
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  // EVP_DecodeBlock skips leading white space and accepts "=" mid-text; nimbra's documents
  // never contain either, so refuse them rather than guess.
  for (size_t i = 0; i < text.size() - padding; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool valid = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '+' || c == '/';
    if (!valid) return std::nullopt;
  }
  std::vector<uint8_t> bytes(text.size() / 4 * 3);
  int decoded = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (decoded < 0) return std::nullopt;
  bytes.resize(static_cast<size_t>(decoded) - padding);
  return bytes;
}

}  // namespace nimbra
