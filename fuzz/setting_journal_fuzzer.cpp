// The setting journal's document reader, on plaintexts it did not write. A decoded journal
// must encode (ISO 8601 dates, sorted keys, pretty-printed) to a document that decodes to the
// same records, and the encoding must be stable from then on.
//
// Input: the journal file's plaintext, as is.

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "storage/setting_journal.h"

using nimbra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto decoded = nimbra::decodeSettingRecords(nimbra::fuzz::textOf(data, size));
  if (!decoded) return 0;
  // Every record takes at least {"id":…,"time":…,"action":…,"result":…} in the input.
  check(decoded->size() * 60 <= size, "no more records than the document can hold");
  std::string encoded;
  try {
    encoded = nimbra::encodeSettingRecords(*decoded);
  } catch (const nlohmann::json::exception&) {
    nimbra::fuzz::fail("a decoded journal encodes");
  }
  auto again = nimbra::decodeSettingRecords(encoded);
  check(again.ok(), "an encoded journal decodes");
  check(*again == *decoded, "an encoded journal decodes to the same records");
  check(nimbra::encodeSettingRecords(*again) == encoded, "encoding is stable after one round");
  return 0;
}
