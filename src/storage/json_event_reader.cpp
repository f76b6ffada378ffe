#include "storage/json_event_reader.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <locale.h>
#include <nlohmann/json.hpp>

namespace nimbra {
namespace {

template <typename T>
bool parsed(std::string_view text, T& value) {
  auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
  return failure == std::errc() && end == text.data() + text.size();
}

// The double nearest to a JSON number, or absent when it is too large to be finite, which
// nlohmann refuses too. from_chars also refuses numbers that underflow to zero, which
// nlohmann (through strtod) reads as zero or subnormal: those go to strtod as well, in the
// "C" locale so a decimal comma in the user's locale cannot change the result.
std::optional<double> floatingValue(std::string_view number) {
  double value = 0;
  auto [end, failure] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (failure == std::errc() && end == number.data() + number.size()) return value;
  if (failure != std::errc::result_out_of_range) return std::nullopt;
  static const locale_t kCLocale = newlocale(LC_ALL_MASK, "C", locale_t(0));
  std::string terminated(number);
  value = strtod_l(terminated.c_str(), nullptr, kCLocale);
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

// Feeds a handler from nlohmann's event parser, whose numbers come classified already.
class ExactEvents {
 public:
  explicit ExactEvents(JsonEventHandler& handler) : handler_(&handler) {}

  bool null() { return handler_->value(JsonScalar(JsonScalar::Kind::null)); }
  bool boolean(bool boolean) {
    JsonScalar value(JsonScalar::Kind::boolean);
    value.boolean = boolean;
    return handler_->value(value);
  }
  bool number_integer(int64_t number) {
    JsonScalar value(JsonScalar::Kind::integer);
    value.integer = number;
    return handler_->value(value);
  }
  bool number_unsigned(uint64_t number) {
    JsonScalar value(JsonScalar::Kind::unsignedInteger);
    value.unsignedInteger = number;
    return handler_->value(value);
  }
  bool number_float(double number, const std::string&) {
    JsonScalar value(JsonScalar::Kind::floating);
    value.floating = number;
    return handler_->value(value);
  }
  bool string(std::string& text) {
    JsonScalar value(JsonScalar::Kind::text);
    value.text = text;
    return handler_->value(value);
  }
  bool binary(nlohmann::json::binary_t&) { return false; }
  bool key(std::string& text) { return handler_->key(text); }
  bool start_object(size_t) { return handler_->startObject(); }
  bool end_object() { return handler_->endObject(); }
  bool start_array(size_t) { return handler_->startArray(); }
  bool end_array() { return handler_->endArray(); }
  bool parse_error(size_t, const std::string&, const nlohmann::json::exception& failure) {
    return handler_->fail(failure.what());
  }

 private:
  JsonEventHandler* handler_;
};

}  // namespace

std::optional<JsonScalar> classifyJsonNumber(std::string_view number) {
  if (number.find_first_of(".eE") == std::string_view::npos) {
    if (number.front() == '-') {
      JsonScalar value(JsonScalar::Kind::integer);
      if (parsed(number, value.integer)) return value;
    } else {
      JsonScalar value(JsonScalar::Kind::unsignedInteger);
      if (parsed(number, value.unsignedInteger)) return value;
    }
  }
  // Fractions, exponents and integers too large for 64 bits are floating point.
  std::optional<double> floating = floatingValue(number);
  if (!floating) return std::nullopt;
  JsonScalar value(JsonScalar::Kind::floating);
  value.floating = *floating;
  return value;
}

bool holdsLoneSurrogate(std::string_view text) {
  const char* end = text.data() + text.size();
  for (const char* at = text.data();
       (at = static_cast<const char*>(std::memchr(at, '\xED', end - at))); ++at) {
    if (end - at > 1 && static_cast<unsigned char>(at[1]) >= 0xA0) return true;
  }
  return false;
}

bool readJsonEventsExactly(std::string_view text, JsonEventHandler& handler) {
  // nlohmann reads a NUL byte as the end of the text; the fast path fails it, so does this.
  if (text.find('\0') != std::string_view::npos) return handler.fail("a NUL byte in the text");
  ExactEvents events(handler);
  // nlohmann refuses a lone surrogate itself.
  return nlohmann::json::sax_parse(text, &events);
}

}  // namespace nimbra
