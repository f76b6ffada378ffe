#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "storage/device_sample.h"
#include "storage/local_storage.h"

namespace nimbra {

// Reading and writing one sealed day file of samples, shared by the sample store and the
// legacy import. Same thread rules as the caller (main thread).

// The samples of a day file; a missing file (or key) reads as no samples.
Result<std::vector<DeviceSample>> loadDayFile(const LocalStorage& storage,
                                              const std::filesystem::path& file);
Status saveDayFile(const LocalStorage& storage, const std::filesystem::path& file,
                   const std::vector<DeviceSample>& samples);

// brand-model-transport-key, the name of a device's directory below the samples root. Each
// part must be non-empty ASCII letters, digits and "-" so the name stays one path component.
bool isSafeNamePart(std::string_view part);
Result<std::string> deviceDirectoryName(std::string_view brand, std::string_view model,
                                        std::string_view transport, std::string_view key);

// The day file of a sample time, or encodingFailed when the time has no day number.
Result<std::string> dayFileNameOf(double observedAt);

}  // namespace nimbra
