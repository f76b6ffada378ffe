// Differential fuzzing of the day-file reader against nlohmann's document reader: on any
// text both must agree on success, and on success produce the same samples. A decoded array
// must also encode back to text that decodes to the same samples.
//
// Input: the day file's plaintext, as is.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "storage/sample_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto decoded = nimbra::decodeSampleArray(text);

  // nlohmann stops reading at a NUL byte and the day-file reader refuses what follows it, so
  // the comparison only holds for texts without one.
  if (std::memchr(data, 0, size) == nullptr) {
    std::optional<std::vector<nimbra::DeviceSample>> expected;
    try {
      expected = nlohmann::json::parse(text).get<std::vector<nimbra::DeviceSample>>();
    } catch (const nlohmann::json::exception&) {
    }
    if (decoded.ok() != expected.has_value()) std::abort();
    if (decoded.ok() && *decoded != *expected) std::abort();
  }

  if (decoded.ok()) {
    for (const nimbra::DeviceSample& sample : *decoded) {
      if (!nimbra::dayNumber(sample.observedAt)) return 0;  // not storable; never encoded
    }
    auto again = nimbra::decodeSampleArray(nimbra::encodeSampleArray(*decoded));
    if (!again.ok() || *again != *decoded) std::abort();
  }
  return 0;
}
