#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "storage/device_sample.h"

namespace nimbra {

// Day files hold up to 17,280 samples (one every 5 s), about 5 MB of JSON. Building a
// nlohmann::json tree of that size costs far more than the store's time budget, and even
// nlohmann's event reader takes ~45 ms, so day files are encoded here directly, sample by
// sample, and decoded with RapidJSON's event reader (~25 ms) under nlohmann's rules.

// Appends the sample's JSON to `out`, byte for byte what nlohmann::json(sample).dump()
// writes (keys sorted, same number and string forms), so a day file written by splicing
// equals the encoding of the whole array. Requires a finite observedAt.
void appendSampleJson(std::string& out, const DeviceSample& sample);

// Decodes a JSON array of samples with the rules of from_json(DeviceSample), without
// building a document tree: accepts and yields what nlohmann::json::parse + get would,
// except that bytes after a NUL are refused where nlohmann stops reading. Fails with
// decodingFailed.
Result<std::vector<DeviceSample>> decodeSampleArray(std::string_view text);

// "[" + samples joined by "," + "]": equal to nlohmann::json(samples).dump(). The appending
// form writes into a buffer the caller reuses, so a day's worth touches no fresh pages.
std::string encodeSampleArray(const std::vector<DeviceSample>& samples);
void appendSampleArray(std::string& out, const std::vector<DeviceSample>& samples);

}  // namespace nimbra
