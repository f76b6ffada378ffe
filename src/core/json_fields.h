#pragma once

// The one set of readers every document decoder of nimbra uses on nlohmann::json values, and
// the one translation of a JSON failure into an Error.
//
// The rule for every key: a missing key and a JSON null both mean "absent". An optional key
// that is absent reads as std::nullopt (or nullptr); a required key that is absent is an
// error, and so is a present value of the wrong type. The readers throw
// nlohmann::json::exception; a decoder catches once per document and returns
// jsonDecodingError(failure.what()). Pure; any thread.

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/error.h"

namespace nimbra {

// JSON failures travel as the platform's own encoding and decoding errors: one domain, the
// code of the failure kind, and a message the user can read. The library's own text is kept
// under "detail" for whoever debugs it.
inline constexpr int kJsonDecodingErrorCode = 4864;
inline constexpr int kJsonEncodingErrorCode = 4866;

Error jsonDecodingError(const std::string& detail);
Error jsonEncodingError(const std::string& detail);

// Throws the library's type_error with `why`, for a shape the readers below cannot express.
[[noreturn]] void rejectJson(const nlohmann::json& where, const std::string& why);

// The value under `key`, or nullptr when the key is missing or null. `object` must be an
// object (anything else is rejected).
const nlohmann::json* optionalMember(const nlohmann::json& object, const char* key);
// The value under `key`; missing or null is rejected.
const nlohmann::json& requiredMember(const nlohmann::json& object, const char* key);

// Which numbers an integer key accepts. wholeNumbers also takes a number written with a zero
// fraction (3.0), as servers and older files may write it; integerLiterals takes only "3",
// for the day files, whose fast reader follows that rule (and converts an unsigned literal
// above 2^63 - 1 modulo 2^64, as it always has).
enum class IntegerForm { wholeNumbers, integerLiterals };

int64_t requiredInt64(const nlohmann::json& object, const char* key,
                      IntegerForm form = IntegerForm::wholeNumbers);
std::optional<int64_t> optionalInt64(const nlohmann::json& object, const char* key,
                                     IntegerForm form = IntegerForm::wholeNumbers);
// requiredInt64 within the range of int.
int requiredInt(const nlohmann::json& object, const char* key);
// Any JSON number.
double requiredNumber(const nlohmann::json& object, const char* key);
std::string requiredString(const nlohmann::json& object, const char* key);
std::optional<std::string> optionalString(const nlohmann::json& object, const char* key);
std::optional<bool> optionalBool(const nlohmann::json& object, const char* key);

}  // namespace nimbra
