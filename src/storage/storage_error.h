#pragma once

#include <string>

#include "core/error.h"
#include "core/file_error.h"

namespace nimbra {

// The kinds of failure the storage layer reports. Callers compare kinds with
// isStorageError, never messages. The file kinds are the FileErrorKinds of the same names
// (core/file_error.h, where errno is translated); the two cipher kinds have a domain of their
// own.
enum class StorageErrorKind {
  fileNoSuchFile,          // 4: attributes asked for a file that does not exist
  fileReadUnknown,         // 256: the legacy database could not be opened
  fileReadNoPermission,    // 257: a private directory or the key fails the owner/type/mode checks
  fileReadCorruptFile,     // 259: wrong key length, missing magic, malformed legacy data
  fileReadNoSuchFile,      // 260: a file to be read is missing; also the key-creation guard
  fileWriteUnknown,        // 512: the cipher or encoder produced nothing usable
  fileWriteFileExists,     // 516: the key was linked into place by someone else first
  decodingFailed,          // 4864: a document's JSON does not match the expected shape
  encodingFailed,          // 4866: a value could not be written as JSON (e.g. invalid UTF-8)
                           // (both made by jsonDecodingError/jsonEncodingError, core/json_fields.h)
  incorrectParameterSize,  // the sealed part after the magic is shorter than nonce + tag
  authenticationFailure,   // the GCM tag does not verify (wrong key, bytes or file name)
};

inline constexpr char kCipherErrorDomain[] = "CryptoKit.CryptoKitError";

Error storageError(StorageErrorKind kind, const std::string& detail = {});
bool isStorageError(const Error& error, StorageErrorKind kind);

}  // namespace nimbra
