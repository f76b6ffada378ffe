#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/error.h"

namespace nimbra {

// JSON failures travel as the platform's own encoding and decoding errors: one domain, the
// code of the failure kind, and a message the user can read. The library's own text is kept
// under "detail" for whoever debugs it.
inline constexpr char kCocoaErrorDomain[] = "NSCocoaErrorDomain";
inline constexpr int kJsonDecodingErrorCode = 4864;
inline constexpr int kJsonEncodingErrorCode = 4866;

Error jsonDecodingError(const std::string& detail);
Error jsonEncodingError(const std::string& detail);

// Strict readers used while decoding documents. They throw nlohmann::json::exception (the
// callers catch once per document and turn it into jsonDecodingError). An integer written
// as a number with a zero fraction (3.0) is accepted; 3.5 or text is not.
int64_t requiredInt64(const nlohmann::json& object, const char* key);
std::string requiredString(const nlohmann::json& object, const char* key);
// A missing key and null both read as absent.
std::optional<int64_t> optionalInt64(const nlohmann::json& object, const char* key);
std::optional<std::string> optionalString(const nlohmann::json& object, const char* key);

}  // namespace nimbra
