#pragma once

#include <string>

#include "core/error.h"

namespace nimbra {

// How a failed file operation reads as an Error. The kinds keep the numbers of the platform
// file-error codes of the same names, all in kFileErrorDomain, so stored or logged codes stay
// stable. Callers compare kinds with isFileError, never messages.
enum class FileErrorKind {
  noSuchFile = 4,          // attributes asked for a file that does not exist
  readUnknown = 256,       // a file could not be opened for reading
  readNoPermission = 257,  // a private directory or a file fails the owner/type/mode checks
  readCorruptFile = 259,   // the bytes read do not have the expected form
  readNoSuchFile = 260,    // a file to be read is missing
  writeUnknown = 512,      // nothing usable could be written
  writeFileExists = 516,   // an exclusive create found the name taken
};

inline constexpr const char* kFileErrorDomain = kCocoaErrorDomain;

Error fileKindError(FileErrorKind kind, const std::string& detail = {});
bool isFileError(const Error& error, FileErrorKind kind);

// What a failed system call was doing, which decides how a missing file is reported.
enum class FileOperation { read, attributes, write, remove, list, createDirectory };

// The one place where errno becomes an Error: ENOENT turns into the file kind that matches
// the operation, EEXIST on a write into writeFileExists, every other value stays a POSIX
// error with the path in its message.
Error fileError(int errnoValue, FileOperation operation, const std::string& path);

}  // namespace nimbra
