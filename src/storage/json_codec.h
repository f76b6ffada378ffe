#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/error.h"
#include "storage/storage_error.h"

namespace nimbra {

// Turns a document's plaintext into a value; how dates and bytes are read is the decoder's
// business (the default one uses the type's from_json).
template <typename T>
using JsonDecoder = std::function<Result<T>(std::string_view)>;

// nlohmann reports shape errors by exception; this is the one place they become Errors.
template <typename T>
Result<T> decodeJson(std::string_view text) {
  try {
    return nlohmann::json::parse(text).get<T>();
  } catch (const nlohmann::json::exception& failure) {
    return storageError(StorageErrorKind::decodingFailed, failure.what());
  }
}

// Compact JSON, as every stored document is written unless its owner says otherwise.
template <typename T>
Result<std::string> encodeJson(const T& value) {
  try {
    return nlohmann::json(value).dump();
  } catch (const nlohmann::json::exception& failure) {
    return storageError(StorageErrorKind::encodingFailed, failure.what());
  }
}

}  // namespace nimbra
