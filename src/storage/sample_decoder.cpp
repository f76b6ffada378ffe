// decodeSampleArray (declared in sample_codec.h): the day-file reader.
#include <cstdint>
#include <optional>
#include <set>

#include "storage/json_event_reader.h"
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

// Handler for "[ {sample}, ... ]" fed by readJsonEvents. It must accept exactly what
// nlohmann's parse + from_json(DeviceSample) accept, so a repeated key replaces the earlier
// value (nlohmann keeps the last): a bad value only fails the sample if no later value for
// the same key replaces it; the verdict on a sample is taken at its closing brace.
// Depth 1 is the array, 2 a sample, 3 its settings.
class SampleArrayReader final : public JsonEventHandler {
 public:
  std::vector<DeviceSample> samples;

  bool value(const JsonScalar& value) override {
    if (depth_ == 3) return setting(value);
    if (depth_ != 2) return fail("the day file must be an array of objects");
    DeviceSample& sample = samples.back();
    switch (field_) {
      case Field::observedAt:
        observedAt(value, sample);
        break;
      case Field::settings:
        mark(Field::settings, false);  // a scalar where an object must be
        break;
      case Field::firmware:
        text(value, sample.firmware);
        break;
      case Field::engine:
        text(value, sample.engine);
        break;
      case Field::unknown:
        break;
      default:
        integer(value, integerField(sample));
        break;
    }
    return true;
  }
  bool key(std::string_view key) override {
    key_.assign(key);
    if (depth_ == 2) field_ = fieldNamed(key_);
    return true;
  }

  bool startObject() override {
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
  bool endObject() override {
    --depth_;
    return depth_ == 1 ? verdict() : true;
  }
  bool startArray() override {
    if (depth_ == 0) return ++depth_, true;
    if (depth_ == 1) return fail("the day file must be an array of objects");
    return structured();
  }
  bool endArray() override {
    --depth_;
    return true;
  }

 private:
  using Kind = JsonScalar::Kind;

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
    return skipContainer();
  }

  bool setting(const JsonScalar& value) {
    if (value.kind != Kind::boolean) {
      invalidSettings_.insert(key_);
      return true;
    }
    samples.back().settings[key_] = value.boolean;
    invalidSettings_.erase(key_);
    return true;
  }

  void observedAt(const JsonScalar& value, DeviceSample& sample) {
    if (value.isNumber()) sample.observedAt = value.number();
    mark(Field::observedAt, value.isNumber());
  }

  void integer(const JsonScalar& value, std::optional<int64_t>& out) {
    switch (value.kind) {
      case Kind::null:
        out.reset();
        break;
      case Kind::integer:
        out = value.integer;
        break;
      case Kind::unsignedInteger:
        // Matches json::get<int64_t>, which wraps values above INT64_MAX the same way.
        out = static_cast<int64_t>(value.unsignedInteger);
        break;
      default:
        return mark(field_, false);
    }
    mark(field_, true);
  }

  void text(const JsonScalar& value, std::optional<std::string>& out) {
    if (value.kind == Kind::null) {
      out.reset();
    } else if (value.kind == Kind::text) {
      out = std::string(value.text);
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
  std::string key_;
  Field field_ = Field::unknown;
  uint32_t seen_ = 0;
  uint32_t invalid_ = 0;
  std::set<std::string> invalidSettings_;
};

}  // namespace

Result<std::vector<DeviceSample>> decodeSampleArray(std::string_view text) {
  SampleArrayReader reader;
  // A sample is about 300 bytes; reserving avoids moving every sample several times.
  reader.samples.reserve(text.size() / 256);
  if (!readJsonEvents(text, reader)) {
    return storageError(StorageErrorKind::decodingFailed, reader.problem);
  }
  return std::move(reader.samples);
}

}  // namespace nimbra
