// The telemetry outbox's reader, on plaintexts it did not write (a damaged outbox, or one of
// an older version), and the UTF-8 repair that texts from the page and the device pass
// through before they are queued.
//
// Input: the outbox file's plaintext, as is.
// Invariants: a decoded outbox encodes to a document that decodes to the same events, byte
// for byte stable from then on; the repaired text of any input is valid UTF-8 (the encoder
// accepts it), repairing it again changes nothing, and valid UTF-8 is left as it is.

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "core/utf8.h"
#include "fuzz_support.h"
#include "telemetry/telemetry_event.h"

using nimbra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = nimbra::fuzz::textOf(data, size);

  auto decoded = nimbra::decodeTelemetryEvents(text);
  if (decoded) {
    // The shortest event (three UUIDs and five texts) takes well over 100 bytes.
    check(decoded->size() * 100 <= size, "no more events than the document can hold");
    auto encoded = nimbra::encodeTelemetryEvents(*decoded);
    check(encoded.ok(), "a decoded outbox encodes");
    auto again = nimbra::decodeTelemetryEvents(*encoded);
    check(again.ok() && *again == *decoded, "an encoded outbox decodes to the same events");
    auto twice = nimbra::encodeTelemetryEvents(*again);
    check(twice.ok() && *twice == *encoded, "encoding is stable after one round");
  }

  std::string repaired = nimbra::validUtf8(text);
  bool valid = true;
  try {
    (void)nlohmann::json(repaired).dump();
  } catch (const nlohmann::json::exception&) {
    valid = false;
  }
  check(valid, "repaired text is valid UTF-8");
  check(nimbra::validUtf8(repaired) == repaired, "repairing twice changes nothing");
  bool inputValid = true;
  try {
    (void)nlohmann::json(std::string(text)).dump();
  } catch (const nlohmann::json::exception&) {
    inputValid = false;
  }
  check(!inputValid || repaired == text, "valid UTF-8 is kept as it is");
  return 0;
}
