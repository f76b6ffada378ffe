// The battery estimate reply and its checks.
//
// Input: the reply body, as is.
// Invariants: an accepted reply has schema version 1 and a voltage within 2.0 to 5.0; a
// refused one fails with the JSON-decoding error or the invalid-reply message; an accepted
// estimate written out again decodes to the same estimate.

#include <cstdint>

#include "core/json_fields.h"
#include "fuzz_support.h"
#include "server/battery_estimate.h"

using nimbra::fuzz::check;
namespace api = nimbra::HistoryAPI;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto decoded = api::decodeBatteryEstimate(nimbra::fuzz::textOf(data, size));
  if (!decoded) {
    const nimbra::Error& error = decoded.error();
    check(error.is(nimbra::kCocoaErrorDomain, nimbra::kJsonDecodingErrorCode) ||
              error.message == api::kInvalidBatteryReplyMessage,
          "a refused reply is a decoding error or an invalid one");
    return 0;
  }
  check(decoded->voltage >= api::kMinimumVoltage && decoded->voltage <= api::kMaximumVoltage,
        "an accepted voltage lies within 2.0 to 5.0");
  nlohmann::json again = {{"schemaVersion", 1}, {"voltage", decoded->voltage}};
  if (decoded->predictedUses) again["predictedUses"] = *decoded->predictedUses;
  auto reread = api::decodeBatteryEstimate(again.dump());
  check(reread.ok() && *reread == *decoded, "an accepted estimate re-encodes to the same one");
  return 0;
}
