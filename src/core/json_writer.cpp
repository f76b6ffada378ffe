#include "core/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

namespace nimbra {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Printable ASCII, which JSON writes as itself; looked up because nearly every byte of a
// large document passes through here.
constexpr auto kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

bool isPlain(unsigned char c) { return kPlain[c]; }

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 when it is not one
// (overlong forms, surrogates and values past U+10FFFF included).
size_t sequenceLength(std::string_view text) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  auto continuation = [&](size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
  unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!continuation(1) || !continuation(2)) return 0;
    if (lead == 0xE0 && byte(1) < 0xA0) return 0;
    if (lead == 0xED && byte(1) >= 0xA0) return 0;
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
    if (lead == 0xF0 && byte(1) < 0x90) return 0;
    if (lead == 0xF4 && byte(1) >= 0x90) return 0;
    return 4;
  }
  return 0;
}

void appendEscaped(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u00";
  out += kHex[c >> 4];
  out += kHex[c & 0x0F];
}

}  // namespace

void JsonWriter::open(char bracket) {
  separate();
  out_ += bracket;
  first_ = true;
}

void JsonWriter::close(char bracket) {
  out_ += bracket;
  first_ = false;
}

void JsonWriter::separate() {
  if (keyed_) {
    keyed_ = false;
    return;
  }
  if (!first_) out_ += ',';
  first_ = false;
}

void JsonWriter::key(std::string_view name) {
  string(name);
  out_ += ':';
  keyed_ = true;
}

void JsonWriter::string(std::string_view text) {
  separate();
  out_ += '"';
  size_t at = 0;
  while (at < text.size()) {
    // Most text is printable ASCII: copy such a run in one go.
    size_t plain = at;
    while (plain < text.size() && isPlain(static_cast<unsigned char>(text[plain]))) ++plain;
    out_.append(text.data() + at, plain - at);
    at = plain;
    if (at == text.size()) break;
    size_t length = sequenceLength(text.substr(at));
    if (length == 0) {
      out_ += kReplacement;
      ++at;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(text[at]);
    if (length == 1 && (c < 0x20 || c == '"' || c == '\\')) {
      appendEscaped(out_, c);
    } else {
      out_.append(text.data() + at, length);
    }
    at += length;
  }
  out_ += '"';
}

void JsonWriter::boolean(bool value) {
  separate();
  out_ += value ? "true" : "false";
}

void JsonWriter::integer(int64_t value) {
  separate();
  char buffer[24];
  auto [end, failure] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)failure;  // 24 characters always hold an int64
  out_.append(buffer, end);
}

void JsonWriter::number(double value) {
  separate();
  if (!std::isfinite(value)) {
    out_ += "null";
    return;
  }
  char buffer[64];
  char* end = nlohmann::detail::to_chars(buffer, buffer + sizeof buffer, value);
  out_.append(buffer, end);
}

}  // namespace nimbra
