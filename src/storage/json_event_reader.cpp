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

// Feeds a handler from nlohmann's event parser, whose numbers come classified already,
// through the same skipping as the fast path. nlohmann refuses a lone surrogate itself.
class ExactEvents {
 public:
  explicit ExactEvents(JsonEventHandler& handler) : events_(handler, false), handler_(&handler) {}

  bool null() { return events_.Null(); }
  bool boolean(bool value) { return events_.Bool(value); }
  bool number_integer(int64_t number) {
    JsonScalar value(JsonScalar::Kind::integer);
    value.integer = number;
    return events_.Value(value);
  }
  bool number_unsigned(uint64_t number) {
    JsonScalar value(JsonScalar::Kind::unsignedInteger);
    value.unsignedInteger = number;
    return events_.Value(value);
  }
  bool number_float(double number, const std::string&) {
    JsonScalar value(JsonScalar::Kind::floating);
    value.floating = number;
    return events_.Value(value);
  }
  bool string(std::string& text) {
    return events_.String(text.data(), static_cast<rapidjson::SizeType>(text.size()), true);
  }
  bool binary(nlohmann::json::binary_t&) { return false; }
  bool key(std::string& text) {
    return events_.Key(text.data(), static_cast<rapidjson::SizeType>(text.size()), true);
  }
  bool start_object(size_t) { return events_.StartObject(); }
  bool end_object() { return events_.EndObject(0); }
  bool start_array(size_t) { return events_.StartArray(); }
  bool end_array() { return events_.EndArray(0); }
  bool parse_error(size_t, const std::string&, const nlohmann::json::exception& failure) {
    return handler_->fail(failure.what());
  }

 private:
  JsonEvents<JsonEventHandler> events_;
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
  return nlohmann::json::sax_parse(text, &events);
}

}  // namespace nimbra
