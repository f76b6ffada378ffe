// decodeSampleArray (declared in sample_codec.h): the day-file reader.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>

#include <locale.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "storage/sample_codec.h"
#include "storage/storage_error.h"

namespace nimbra {
namespace {

// The members a sample reads; anything else is skipped whatever its shape.
enum class Field {
  observedAt,
  battery,
  voltageADC,
  temperatureRaw,
  processCount,
  cumulativePuffCount,
  firmware,
  engine,
  settings,
  unknown
};

constexpr std::pair<std::string_view, Field> kFields[] = {
    {SampleKey::observedAt, Field::observedAt},
    {SampleKey::battery, Field::battery},
    {SampleKey::voltageADC, Field::voltageADC},
    {SampleKey::temperatureRaw, Field::temperatureRaw},
    {SampleKey::processCount, Field::processCount},
    {SampleKey::cumulativePuffCount, Field::cumulativePuffCount},
    {SampleKey::firmware, Field::firmware},
    {SampleKey::engine, Field::engine},
    {SampleKey::settings, Field::settings}};

Field fieldNamed(std::string_view key) {
  for (const auto& [name, field] : kFields) {
    if (key == name) return field;
  }
  return Field::unknown;
}

uint32_t bit(Field field) { return 1u << static_cast<unsigned>(field); }

// Event handler for "[ {sample}, ... ]" fed by RapidJSON's reader. It must accept exactly
// what nlohmann's parse + from_json(DeviceSample) accept, so:
// - numbers arrive as text and are classified as nlohmann does (integer, unsigned, floating);
// - a repeated key replaces the earlier value (nlohmann keeps the last), so a bad value only
//   fails the sample if no later value for the same key replaces it; the verdict on a
//   sample is taken at its closing brace.
// Depth 1 is the array, 2 a sample, 3 its settings.
class SampleArrayReader {
 public:
  using Ch = char;

  std::vector<DeviceSample> samples;
  std::string problem;

  bool Null() { return scalar(Kind::null, nullptr); }
  bool Bool(bool value) { return scalar(Kind::boolean, &value); }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    std::string_view number(text, length);
    if (number.find_first_of(".eE") == std::string_view::npos) {
      if (number.front() == '-') {
        int64_t value = 0;
        if (parsed(number, value)) return scalar(Kind::integer, &value);
      } else {
        uint64_t value = 0;
        if (parsed(number, value)) return scalar(Kind::unsignedInteger, &value);
      }
    }
    // Fractions, exponents and integers too large for 64 bits are floating point.
    std::optional<double> value = floatingValue(number);
    if (!value) return fail("number too large");
    return scalar(Kind::floating, &*value);
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    std::string value(text, length);
    return scalar(Kind::text, &value);
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    if (skipDepth_ > 0) return true;
    key_.assign(text, length);
    if (depth_ == 2) field_ = fieldNamed(key_);
    return true;
  }

  bool StartObject() {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    if (depth_ == 0) return fail("the day file must be an array");
    if (depth_ == 1) {
      samples.emplace_back();
      seen_ = invalid_ = 0;
      invalidSettings_.clear();
    } else if (depth_ == 2 && field_ == Field::settings) {
      samples.back().settings.clear();
      invalidSettings_.clear();
      mark(Field::settings, true);
    } else {
      return structured();
    }
    ++depth_;
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    if (skipDepth_ > 0) return --skipDepth_, true;
    --depth_;
    return depth_ == 1 ? verdict() : true;
  }
  bool StartArray() {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    if (depth_ == 0) return ++depth_, true;
    if (depth_ == 1) return fail("the day file must be an array of objects");
    return structured();
  }
  bool EndArray(rapidjson::SizeType) {
    if (skipDepth_ > 0) return --skipDepth_, true;
    --depth_;
    return true;
  }

  // Never called: numbers come through RawNumber.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(int64_t) { return false; }
  bool Uint64(uint64_t) { return false; }
  bool Double(double) { return false; }

 private:
  enum class Kind { null, boolean, integer, unsignedInteger, floating, text };

  template <typename T>
  static bool parsed(std::string_view text, T& value) {
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    return failure == std::errc() && end == text.data() + text.size();
  }

  // The double nearest to a JSON number, or absent when it is too large to be finite, which
  // nlohmann refuses too. from_chars also refuses numbers that underflow to zero, which
  // nlohmann (through strtod) reads as zero or subnormal: those go to strtod as well, in the
  // "C" locale so a decimal comma in the user's locale cannot change the result.
  static std::optional<double> floatingValue(std::string_view number) {
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

  bool fail(std::string why) {
    if (problem.empty()) problem = std::move(why);
    return false;
  }

  // Records that the sample has the field and whether its latest value is usable.
  void mark(Field field, bool valid) {
    seen_ |= bit(field);
    if (valid) {
      invalid_ &= ~bit(field);
    } else {
      invalid_ |= bit(field);
    }
  }

  // An object or array where a sample member or a setting goes: skipped, and wrong for
  // every field it could be the value of.
  bool structured() {
    if (depth_ == 3) {
      invalidSettings_.insert(key_);
    } else if (field_ != Field::unknown) {
      mark(field_, false);
    }
    skipDepth_ = 1;
    return true;
  }

  bool scalar(Kind kind, void* value) {
    if (skipDepth_ > 0) return true;
    if (depth_ == 3) return setting(kind, value);
    if (depth_ != 2) return fail("the day file must be an array of objects");
    DeviceSample& sample = samples.back();
    switch (field_) {
      case Field::observedAt:
        observedAt(kind, value, sample);
        break;
      case Field::settings:
        mark(Field::settings, false);  // a scalar where an object must be
        break;
      case Field::firmware:
        text(kind, value, sample.firmware);
        break;
      case Field::engine:
        text(kind, value, sample.engine);
        break;
      case Field::unknown:
        break;
      default:
        integer(kind, value, integerField(sample));
        break;
    }
    return true;
  }

  bool setting(Kind kind, void* value) {
    if (kind != Kind::boolean) {
      invalidSettings_.insert(key_);
      return true;
    }
    samples.back().settings[key_] = *static_cast<bool*>(value);
    invalidSettings_.erase(key_);
    return true;
  }

  void observedAt(Kind kind, void* value, DeviceSample& sample) {
    switch (kind) {
      case Kind::floating:
        sample.observedAt = *static_cast<double*>(value);
        break;
      case Kind::integer:
        sample.observedAt = static_cast<double>(*static_cast<int64_t*>(value));
        break;
      case Kind::unsignedInteger:
        sample.observedAt = static_cast<double>(*static_cast<uint64_t*>(value));
        break;
      default:
        return mark(Field::observedAt, false);
    }
    mark(Field::observedAt, true);
  }

  void integer(Kind kind, void* value, std::optional<int64_t>& out) {
    switch (kind) {
      case Kind::null:
        out.reset();
        break;
      case Kind::integer:
        out = *static_cast<int64_t*>(value);
        break;
      case Kind::unsignedInteger:
        // Matches json::get<int64_t>, which wraps values above INT64_MAX the same way.
        out = static_cast<int64_t>(*static_cast<uint64_t*>(value));
        break;
      default:
        return mark(field_, false);
    }
    mark(field_, true);
  }

  void text(Kind kind, void* value, std::optional<std::string>& out) {
    if (kind == Kind::null) {
      out.reset();
    } else if (kind == Kind::text) {
      out = std::move(*static_cast<std::string*>(value));
    } else {
      return mark(field_, false);
    }
    mark(field_, true);
  }

  std::optional<int64_t>& integerField(DeviceSample& sample) {
    switch (field_) {
      case Field::battery:
        return sample.battery;
      case Field::voltageADC:
        return sample.voltageADC;
      case Field::temperatureRaw:
        return sample.temperatureRaw;
      case Field::processCount:
        return sample.processCount;
      default:
        return sample.cumulativePuffCount;
    }
  }

  // At a sample's closing brace: every member read must hold a usable last value.
  bool verdict() {
    if ((seen_ & bit(Field::observedAt)) == 0 || (seen_ & bit(Field::settings)) == 0) {
      return fail("a sample lacks observedAt or settings");
    }
    if (invalid_ != 0) {
      for (unsigned i = 0; i < static_cast<unsigned>(Field::unknown); ++i) {
        if ((invalid_ & (1u << i)) != 0)
          return fail("a sample has a " + nameOf(i) + " of the wrong type");
      }
    }
    if (!invalidSettings_.empty()) {
      return fail("setting \"" + *invalidSettings_.begin() + "\" must be true or false");
    }
    return true;
  }

  static std::string nameOf(unsigned index) {
    for (const auto& [name, field] : kFields) {
      if (static_cast<unsigned>(field) == index) return std::string(name);
    }
    return "member";
  }

  int depth_ = 0;
  int skipDepth_ = 0;
  std::string key_;
  Field field_ = Field::unknown;
  uint32_t seen_ = 0;
  uint32_t invalid_ = 0;
  std::set<std::string> invalidSettings_;
};

}  // namespace

Result<std::vector<DeviceSample>> decodeSampleArray(std::string_view text) {
  // Iterative parsing keeps deep nesting in unknown values off the call stack; the memory
  // stream is bounded, so the text needs no terminator, and a NUL it contains reads as the
  // end, which the position check below turns into a failure.
  constexpr unsigned kFlags = rapidjson::kParseValidateEncodingFlag |
                              rapidjson::kParseIterativeFlag |
                              rapidjson::kParseNumbersAsStringsFlag;
  // nlohmann (the reader of every other file) skips a UTF-8 byte order mark; so does this.
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  SampleArrayReader reader;
  // A sample is about 300 bytes; reserving avoids moving every sample several times.
  reader.samples.reserve(text.size() / 256);
  rapidjson::MemoryStream stream(text.data(), text.size());
  rapidjson::Reader parser;
  rapidjson::ParseResult result = parser.Parse<kFlags>(stream, reader);
  if (result.IsError() || stream.Tell() != text.size()) {
    std::string why = reader.problem;
    if (why.empty() && result.IsError()) {
      why = std::string(rapidjson::GetParseError_En(result.Code())) + " at byte " +
            std::to_string(result.Offset());
    }
    if (why.empty()) why = "text after the array";
    return storageError(StorageErrorKind::decodingFailed, why);
  }
  return std::move(reader.samples);
}

}  // namespace nimbra
