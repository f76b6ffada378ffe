#include "storage/sample_codec.h"

#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "storage/storage_error.h"

namespace nimbra {
namespace {

using nlohmann::json;

// Text that nlohmann writes verbatim: printable ASCII without quote or backslash. Anything
// else (escapes, UTF-8 that must be validated) goes through nlohmann itself.
bool isPlainText(std::string_view text) {
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\') return false;
  }
  return true;
}

void appendString(std::string& out, std::string_view text) {
  if (isPlainText(text)) {
    out += '"';
    out += text;
    out += '"';
  } else {
    out += json(text).dump();
  }
}

void appendDouble(std::string& out, double value) {
  char buffer[64];
  char* end = nlohmann::detail::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
}

void appendInteger(std::string& out, int64_t value) {
  char buffer[24];
  auto [end, failure] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)failure;  // 24 characters always hold an int64
  out.append(buffer, end);
}

// Members in the sorted order nlohmann's std::map-backed objects produce.
void appendMembers(std::string& out, const DeviceSample& sample) {
  bool first = true;
  auto key = [&](std::string_view name) {
    if (!first) out += ',';
    first = false;
    out += '"';
    out += name;
    out += "\":";
  };
  auto integer = [&](std::string_view name, const std::optional<int64_t>& value) {
    if (!value) return;
    key(name);
    appendInteger(out, *value);
  };
  auto text = [&](std::string_view name, const std::optional<std::string>& value) {
    if (!value) return;
    key(name);
    appendString(out, *value);
  };
  integer("battery", sample.battery);
  integer("cumulativePuffCount", sample.cumulativePuffCount);
  text("engine", sample.engine);
  text("firmware", sample.firmware);
  key("observedAt");
  appendDouble(out, sample.observedAt);
  integer("processCount", sample.processCount);
  key("settings");
  out += '{';
  bool firstSetting = true;
  for (const auto& [name, on] : sample.settings) {
    if (!firstSetting) out += ',';
    firstSetting = false;
    appendString(out, name);
    out += on ? ":true" : ":false";
  }
  out += '}';
  integer("temperatureRaw", sample.temperatureRaw);
  integer("voltageADC", sample.voltageADC);
}

// Event handler for "[ {sample}, ... ]" fed by RapidJSON's reader, which is several times
// faster than nlohmann's on day files. Numbers arrive as their text and are classified the
// way nlohmann classifies them (integer, unsigned, floating), so both readers accept and
// produce the same samples. Depth 1 is the array, 2 a sample, 3 its settings; values of
// unknown keys (of any shape) are skipped.
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
    double value = 0;
    if (!parsed(number, value) || !std::isfinite(value)) return fail("number out of range");
    return scalar(Kind::floating, &value);
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    std::string value(text, length);
    return scalar(Kind::text, &value);
  }
  bool StartObject() {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    if (depth_ == 1) {
      samples.emplace_back();
      seenObservedAt_ = seenSettings_ = false;
    } else if (depth_ == 2 && key_ == "settings") {
      seenSettings_ = true;
      samples.back().settings.clear();
    } else if (depth_ == 2) {
      return beginSkip();
    } else {
      return fail("unexpected object");
    }
    ++depth_;
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    if (skipDepth_ > 0) return --skipDepth_, true;
    if (depth_ == 2 && (!seenObservedAt_ || !seenSettings_)) {
      return fail("a sample lacks observedAt or settings");
    }
    --depth_;
    return true;
  }
  bool StartArray() {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    if (depth_ == 0) return ++depth_, true;
    if (depth_ == 2) return beginSkip();
    return fail("unexpected array");
  }
  bool EndArray(rapidjson::SizeType) {
    if (skipDepth_ > 0) return --skipDepth_, true;
    --depth_;
    return true;
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    if (skipDepth_ == 0) key_.assign(text, length);
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

  bool fail(std::string why) {
    if (problem.empty()) problem = std::move(why);
    return false;
  }
  bool beginSkip() {
    skipDepth_ = 1;
    return true;
  }

  bool scalar(Kind kind, void* value) {
    if (skipDepth_ > 0) return true;
    if (depth_ == 3) {
      if (kind != Kind::boolean) return fail("a setting must be true or false");
      samples.back().settings[key_] = *static_cast<bool*>(value);
      return true;
    }
    if (depth_ != 2) return fail("the day file must be an array of objects");
    DeviceSample& sample = samples.back();
    if (key_ == "observedAt") return readObservedAt(kind, value, sample);
    if (key_ == "settings") return fail("settings must be an object");
    if (kind == Kind::null) return clearOptional(sample);
    if (auto* field = integerField(sample)) return readInteger(kind, value, *field);
    if (auto* field = textField(sample)) {
      if (kind != Kind::text) return fail(key_ + " must be text");
      *field = std::move(*static_cast<std::string*>(value));
    }
    return true;  // an unknown key
  }

  bool readObservedAt(Kind kind, void* value, DeviceSample& sample) {
    seenObservedAt_ = true;
    switch (kind) {
      case Kind::floating:
        sample.observedAt = *static_cast<double*>(value);
        return true;
      case Kind::integer:
        sample.observedAt = static_cast<double>(*static_cast<int64_t*>(value));
        return true;
      case Kind::unsignedInteger:
        sample.observedAt = static_cast<double>(*static_cast<uint64_t*>(value));
        return true;
      default:
        return fail("observedAt must be a number");
    }
  }

  bool readInteger(Kind kind, void* value, std::optional<int64_t>& field) {
    if (kind == Kind::integer) {
      field = *static_cast<int64_t*>(value);
      return true;
    }
    if (kind == Kind::unsignedInteger) {
      // Matches json::get<int64_t>, which wraps values above INT64_MAX the same way.
      field = static_cast<int64_t>(*static_cast<uint64_t*>(value));
      return true;
    }
    return fail(key_ + " must be an integer");
  }

  std::optional<int64_t>* integerField(DeviceSample& sample) {
    if (key_ == "battery") return &sample.battery;
    if (key_ == "voltageADC") return &sample.voltageADC;
    if (key_ == "temperatureRaw") return &sample.temperatureRaw;
    if (key_ == "processCount") return &sample.processCount;
    if (key_ == "cumulativePuffCount") return &sample.cumulativePuffCount;
    return nullptr;
  }
  std::optional<std::string>* textField(DeviceSample& sample) {
    if (key_ == "firmware") return &sample.firmware;
    if (key_ == "engine") return &sample.engine;
    return nullptr;
  }
  bool clearOptional(DeviceSample& sample) {
    if (auto* field = integerField(sample)) field->reset();
    if (auto* field = textField(sample)) field->reset();
    return true;
  }

  int depth_ = 0;
  int skipDepth_ = 0;
  std::string key_;
  bool seenObservedAt_ = false;
  bool seenSettings_ = false;
};

}  // namespace

void appendSampleJson(std::string& out, const DeviceSample& sample) {
  out += '{';
  appendMembers(out, sample);
  out += '}';
}

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

namespace nimbra {

std::string encodeSampleArray(const std::vector<DeviceSample>& samples) {
  std::string out;
  appendSampleArray(out, samples);
  return out;
}

void appendSampleArray(std::string& out, const std::vector<DeviceSample>& samples) {
  out += '[';
  for (size_t i = 0; i < samples.size(); ++i) {
    if (i > 0) out += ',';
    size_t before = out.size();
    appendSampleJson(out, samples[i]);
    // Samples of one device encode to nearly the same length: size the buffer once from the
    // first instead of doubling (and copying) it a dozen times on the way to 5 MB.
    if (i == 0) out.reserve(out.size() + (out.size() - before + 16) * samples.size());
  }
  out += ']';
}

}  // namespace nimbra
