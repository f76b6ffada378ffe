#include "storage/storage_error.h"

#include <optional>

#include "core/json_fields.h"

namespace nimbra {
namespace {

std::optional<FileErrorKind> fileKindOf(StorageErrorKind kind) {
  switch (kind) {
    case StorageErrorKind::fileNoSuchFile:
      return FileErrorKind::noSuchFile;
    case StorageErrorKind::fileReadUnknown:
      return FileErrorKind::readUnknown;
    case StorageErrorKind::fileReadNoPermission:
      return FileErrorKind::readNoPermission;
    case StorageErrorKind::fileReadCorruptFile:
      return FileErrorKind::readCorruptFile;
    case StorageErrorKind::fileReadNoSuchFile:
      return FileErrorKind::readNoSuchFile;
    case StorageErrorKind::fileWriteUnknown:
      return FileErrorKind::writeUnknown;
    case StorageErrorKind::fileWriteFileExists:
      return FileErrorKind::writeFileExists;
    default:
      return std::nullopt;
  }
}

struct CipherInfo {
  int code;
  const char* message;
};

CipherInfo cipherInfoOf(StorageErrorKind kind) {
  if (kind == StorageErrorKind::incorrectParameterSize) return {1, "加密文件长度不正确。"};
  return {2, "加密文件校验失败。"};
}

}  // namespace

Error storageError(StorageErrorKind kind, const std::string& detail) {
  // A document's JSON fails the same way wherever it came from: one translation for all.
  if (kind == StorageErrorKind::decodingFailed) return jsonDecodingError(detail);
  if (kind == StorageErrorKind::encodingFailed) return jsonEncodingError(detail);
  if (std::optional<FileErrorKind> file = fileKindOf(kind)) return fileKindError(*file, detail);
  CipherInfo info = cipherInfoOf(kind);
  std::string message = info.message;
  if (!detail.empty()) message += "（" + detail + "）";
  return Error::make(kCipherErrorDomain, info.code, std::move(message));
}

bool isStorageError(const Error& error, StorageErrorKind kind) {
  switch (kind) {
    case StorageErrorKind::decodingFailed:
      return error.is(kCocoaErrorDomain, kJsonDecodingErrorCode);
    case StorageErrorKind::encodingFailed:
      return error.is(kCocoaErrorDomain, kJsonEncodingErrorCode);
    default:
      break;
  }
  if (std::optional<FileErrorKind> file = fileKindOf(kind)) return isFileError(error, *file);
  return error.is(kCipherErrorDomain, cipherInfoOf(kind).code);
}

}  // namespace nimbra
