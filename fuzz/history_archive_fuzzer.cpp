// The history archive's document reader, on plaintexts it did not write (a damaged file, or
// one written by another version). Differential: the streaming reader and the tree reader
// below (nlohmann's parse and the json_fields readers, the archive's former decoder) agree
// on accept or refuse and on the records. A decoded archive must also encode to a document
// that decodes to the same records, byte for byte stable from then on.
//
// Input: the archive file's plaintext, as is.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "core/dates.h"
#include "core/json_fields.h"
#include "device/history_observation.h"
#include "fuzz_support.h"
#include "storage/history_archive.h"

using nimbra::HistoryArchive;
using nimbra::fuzz::check;

namespace {

using nlohmann::json;

nimbra::Date requiredDate(const json& object, const char* key) {
  const json& value = nimbra::requiredMember(object, key);
  if (value.is_number()) {
    if (auto date = nimbra::checkedDateFromSecondsSince2001(value.get<double>())) return *date;
  }
  nimbra::rejectJson(value, std::string("\"") + key + "\" is not a date");
}

HistoryArchive::Entry decodeEntry(const json& object) {
  HistoryArchive::Entry entry;
  entry.directory = nimbra::requiredInt(object, "directory");
  entry.format = nimbra::requiredInt(object, "format");
  entry.position = nimbra::requiredInt(object, "position");
  auto payload = nimbra::base64Decode(nimbra::requiredString(object, "payload"));
  if (!payload) nimbra::rejectJson(object, "\"payload\" is not Base64");
  entry.payload = std::move(*payload);
  entry.firstReadAt = requiredDate(object, "firstReadAt");
  if (const json* observation = nimbra::optionalMember(object, "observation")) {
    entry.observation = nimbra::historyObservationFromJson(
        *observation, nimbra::ObservationDates::secondsSince2001);
  }
  return entry;
}

std::optional<HistoryArchive::Records> treeDecode(std::string_view plaintext) {
  HistoryArchive::Records records;
  try {
    json document = json::parse(plaintext);
    if (!document.is_object()) return std::nullopt;
    for (auto& [key, value] : document.items()) {
      records.emplace_hint(records.end(), key, decodeEntry(value));
    }
  } catch (const json::exception&) {
    return std::nullopt;
  }
  return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = nimbra::fuzz::textOf(data, size);
  auto decoded = HistoryArchive::decode(text);

  // nlohmann stops reading at a NUL byte; the streaming reader refuses the text instead.
  if (std::memchr(data, 0, size) != nullptr) {
    check(!decoded.ok(), "a text with a NUL byte is refused");
  } else {
    std::optional<HistoryArchive::Records> expected = treeDecode(text);
    check(decoded.ok() == expected.has_value(), "the stream and tree readers agree on refusal");
    check(!decoded.ok() || *decoded == *expected, "the stream and tree readers agree on records");
  }
  if (!decoded) return 0;

  for (const auto& [key, entry] : *decoded) {
    (void)key;
    // Base64 turns 3 bytes into 4 characters, so a payload can never outgrow its text.
    check(entry.payload.size() <= size, "a payload is no larger than the document");
  }
  std::string encoded = HistoryArchive::encode(*decoded);
  auto again = HistoryArchive::decode(encoded);
  check(again.ok(), "an encoded archive decodes");
  check(*again == *decoded, "an encoded archive decodes to the same records");
  check(HistoryArchive::encode(*again) == encoded, "encoding is stable after one round");
  return 0;
}
