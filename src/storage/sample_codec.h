#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "storage/device_sample.h"

namespace nimbra {

// Day files hold up to 17,280 samples (one every 5 s), about 5 MB of JSON. Building a
// nlohmann::json tree of that size costs far more than the store's time budget, so day files
// are encoded and decoded here directly, sample by sample.

// Appends the sample's JSON to `out`, byte for byte what nlohmann::json(sample).dump()
// writes (keys sorted, same number and string forms), so a day file written by splicing
// equals the encoding of the whole array. Requires a finite observedAt.
void appendSampleJson(std::string& out, const DeviceSample& sample);

// Decodes a JSON array of samples with the rules of from_json(DeviceSample), without
// building a document tree. Fails with decodingFailed.
Result<std::vector<DeviceSample>> decodeSampleArray(std::string_view text);

}  // namespace nimbra

namespace nimbra {

// "[" + samples joined by "," + "]": equal to nlohmann::json(samples).dump().
std::string encodeSampleArray(const std::vector<DeviceSample>& samples);

}  // namespace nimbra
