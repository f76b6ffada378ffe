// readJsonEvents: the streaming JSON reading the day-file and archive decoders share. It
// feeds one document's events to a schema handler and accepts exactly the texts
// nlohmann::json::parse accepts (the reader those files were always read with), so a file
// reads the same whichever reader opens it. Internal to src/storage.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

namespace nimbra {

// One scalar as nlohmann classifies it: a number without fraction or exponent that fits 64
// bits is an integer (negative) or unsigned one, any other number floating point.
struct JsonScalar {
  enum class Kind { null, boolean, integer, unsignedInteger, floating, text };

  explicit JsonScalar(Kind of) : kind(of) {}

  Kind kind;
  bool boolean = false;
  int64_t integer = 0;
  uint64_t unsignedInteger = 0;
  double floating = 0;
  std::string_view text;  // valid only during the call that receives it

  bool isNumber() const {
    return kind == Kind::integer || kind == Kind::unsignedInteger || kind == Kind::floating;
  }
  // json::get<double> of a number.
  double number() const {
    if (kind == Kind::integer) return static_cast<double>(integer);
    if (kind == Kind::unsignedInteger) return static_cast<double>(unsignedInteger);
    return floating;
  }
};

template <typename Handler>
class JsonEvents;

// The events of one document, in text order. Each returns false to stop reading (after
// fail() has said why). A decoder's handler derives from this and is `final`, so the fast
// path below calls it directly; only the rare exact path goes through the virtual calls.
class JsonEventHandler {
 public:
  virtual bool value(const JsonScalar& value) = 0;
  virtual bool key(std::string_view key) = 0;
  virtual bool startObject() = 0;
  virtual bool endObject() = 0;
  virtual bool startArray() = 0;
  virtual bool endArray() = 0;

  // Why the document was refused; the first reason given wins.
  bool fail(std::string why) {
    if (problem.empty()) problem = std::move(why);
    return false;
  }

  std::string problem;

 protected:
  JsonEventHandler() = default;
  JsonEventHandler(JsonEventHandler&&) = default;
  JsonEventHandler& operator=(JsonEventHandler&&) = default;
  ~JsonEventHandler() = default;

  // From startObject or startArray: the container just opened is skipped whole, whatever its
  // shape; none of its events reach the handler (its numbers and strings are still checked).
  bool skipContainer() {
    skipDepth_ = 1;
    return true;
  }

 private:
  template <typename>
  friend class JsonEvents;

  int skipDepth_ = 0;
};

// The scalar nlohmann reads for a JSON number's text, or absent when its value is too large
// to be finite, which nlohmann refuses.
std::optional<JsonScalar> classifyJsonNumber(std::string_view number);

// Whether RapidJSON's reading of a string holds an escaped low surrogate without its high
// half ("\uDC00"), which nlohmann refuses. RapidJSON 1.1.0 writes it as the bytes ED B0..BF
// 80..BF; validated input cannot hold those bytes itself (they encode no character).
bool holdsLoneSurrogate(std::string_view text);

// Reads `text` through nlohmann's own event parser (its lexer, no tree) into `handler`.
// Slower; for the texts RapidJSON refuses by digit or exponent counts although their value
// is finite ("0e400", a 400-digit mantissa with "e-400"). A NUL byte fails the text.
bool readJsonEventsExactly(std::string_view text, JsonEventHandler& handler);

// Adapts RapidJSON's reader events to the handler, and skips what the handler skips: numbers
// arrive as text and are classified as nlohmann does; a number too large to be finite and a
// lone surrogate fail the document wherever they stand, skipped or not, as nlohmann fails it.
// `escapes`: whether the text may hold a backslash-u escape; without one no string can hold
// a lone surrogate.
template <typename Handler>
class JsonEvents {
 public:
  using Ch = char;

  JsonEvents(Handler& handler, bool escapes) : handler_(handler), escapes_(escapes) {}

  bool Null() { return Value(JsonScalar(JsonScalar::Kind::null)); }
  bool Bool(bool boolean) {
    JsonScalar value(JsonScalar::Kind::boolean);
    value.boolean = boolean;
    return Value(value);
  }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    std::optional<JsonScalar> value = classifyJsonNumber(std::string_view(text, length));
    if (!value) return handler_.fail("number too large");
    return Value(*value);
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    std::string_view string(text, length);
    if (escapes_ && holdsLoneSurrogate(string))
      return handler_.fail("a string holds half a surrogate pair");
    JsonScalar value(JsonScalar::Kind::text);
    value.text = string;
    return Value(value);
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    std::string_view key(text, length);
    if (escapes_ && holdsLoneSurrogate(key))
      return handler_.fail("a key holds half a surrogate pair");
    return skipping() || handler_.key(key);
  }
  bool StartObject() { return skipping() ? nest() : handler_.startObject(); }
  bool EndObject(rapidjson::SizeType) { return skipping() ? unnest() : handler_.endObject(); }
  bool StartArray() { return skipping() ? nest() : handler_.startArray(); }
  bool EndArray(rapidjson::SizeType) { return skipping() ? unnest() : handler_.endArray(); }

  // A scalar already classified (by nlohmann's lexer on the exact path).
  bool Value(const JsonScalar& value) { return skipping() || handler_.value(value); }

  // Never called: numbers come through RawNumber.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(int64_t) { return false; }
  bool Uint64(uint64_t) { return false; }
  bool Double(double) { return false; }

 private:
  bool skipping() const { return handler_.skipDepth_ > 0; }
  bool nest() { return ++handler_.skipDepth_, true; }
  bool unnest() { return --handler_.skipDepth_, true; }

  Handler& handler_;
  bool escapes_;
};

// Reads one JSON document into `handler`; on false, handler.problem says why. Bytes after
// the document, a NUL byte included, fail it (nlohmann would stop at the NUL). A UTF-8 byte
// order mark is skipped, as nlohmann skips it. When RapidJSON refuses a number by its digit
// counts, the text is read again exactly into a fresh handler (hence default-constructible).
template <typename Handler>
bool readJsonEvents(std::string_view text, Handler& handler) {
  static_assert(std::is_base_of_v<JsonEventHandler, Handler> && std::is_final_v<Handler>);
  // Iterative parsing keeps deep nesting in unknown values off the call stack; the memory
  // stream is bounded, so the text needs no terminator, and a NUL it contains reads as the
  // end, which the position check turns into a failure.
  constexpr unsigned kFlags = rapidjson::kParseValidateEncodingFlag |
                              rapidjson::kParseIterativeFlag |
                              rapidjson::kParseNumbersAsStringsFlag;
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  std::string_view document = text;
  if (document.starts_with(kByteOrderMark)) document.remove_prefix(kByteOrderMark.size());
  JsonEvents<Handler> events(handler, document.find("\\u") != std::string_view::npos);
  rapidjson::MemoryStream stream(document.data(), document.size());
  rapidjson::Reader parser;
  rapidjson::ParseResult result = parser.Parse<kFlags>(stream, events);
  if (result.Code() == rapidjson::kParseErrorNumberTooBig) {
    handler = Handler();
    return readJsonEventsExactly(text, handler);
  }
  if (!result.IsError() && stream.Tell() == document.size()) return true;
  if (result.IsError()) {
    handler.fail(std::string(rapidjson::GetParseError_En(result.Code())) + " at byte " +
                 std::to_string(result.Offset()));
  }
  return handler.fail("text after the document");
}

}  // namespace nimbra
