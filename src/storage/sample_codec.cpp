#include "storage/sample_codec.h"

#include <charconv>

#include <nlohmann/json.hpp>

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
  namespace K = SampleKey;
  integer(K::battery, sample.battery);
  integer(K::cumulativePuffCount, sample.cumulativePuffCount);
  text(K::engine, sample.engine);
  text(K::firmware, sample.firmware);
  key(K::observedAt);
  appendDouble(out, sample.observedAt);
  integer(K::processCount, sample.processCount);
  key(K::settings);
  out += '{';
  bool firstSetting = true;
  for (const auto& [name, on] : sample.settings) {
    if (!firstSetting) out += ',';
    firstSetting = false;
    appendString(out, name);
    out += on ? ":true" : ":false";
  }
  out += '}';
  integer(K::temperatureRaw, sample.temperatureRaw);
  integer(K::voltageADC, sample.voltageADC);
}

}  // namespace

void appendSampleJson(std::string& out, const DeviceSample& sample) {
  out += '{';
  appendMembers(out, sample);
  out += '}';
}

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
