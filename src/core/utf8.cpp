#include "core/utf8.h"

#include <nlohmann/json.hpp>

namespace nimbra {

std::string validUtf8(std::string_view text) {
  using nlohmann::json;
  // The serializer's replace mode is the one UTF-8 validator at hand; its output is a JSON
  // string literal, which parsing turns back into the (now valid) text.
  std::string quoted = json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
  return json::parse(quoted).get<std::string>();
}

std::optional<std::string> validUtf8Optional(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return validUtf8(*text);
}

std::size_t utf8PrefixLength(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t cut = limit;
  // Step back over continuation bytes (10xxxxxx) to the lead byte of the character at the
  // cut; at most three, as no sequence is longer than four bytes.
  std::size_t back = 0;
  while (cut > 0 && back < 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
    ++back;
  }
  // text[cut] is now the lead byte of the split character (or not UTF-8 at all, in which
  // case nothing was split and the byte-wise cut stands).
  auto lead = static_cast<unsigned char>(text[cut]);
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (back == 0 || lead < 0xC0 || cut + length <= limit) return limit;
  return cut;
}

}  // namespace nimbra
