#include "storage/storage_error.h"

#include <cerrno>

#include "core/json_fields.h"

namespace nimbra {
namespace {

struct KindInfo {
  const char* domain;
  int code;
  const char* message;
};

KindInfo infoOf(StorageErrorKind kind) {
  switch (kind) {
    case StorageErrorKind::fileNoSuchFile:
      return {kFileErrorDomain, 4, "文件不存在。"};
    case StorageErrorKind::fileReadUnknown:
      return {kFileErrorDomain, 256, "无法读取文件。"};
    case StorageErrorKind::fileReadNoPermission:
      return {kFileErrorDomain, 257, "没有读取文件的权限。"};
    case StorageErrorKind::fileReadCorruptFile:
      return {kFileErrorDomain, 259, "文件已损坏或格式不正确。"};
    case StorageErrorKind::fileReadNoSuchFile:
      return {kFileErrorDomain, 260, "文件不存在。"};
    case StorageErrorKind::fileWriteUnknown:
      return {kFileErrorDomain, 512, "无法写入文件。"};
    case StorageErrorKind::fileWriteFileExists:
      return {kFileErrorDomain, 516, "文件已存在。"};
    case StorageErrorKind::decodingFailed:
      return {kCocoaErrorDomain, kJsonDecodingErrorCode, nullptr};
    case StorageErrorKind::encodingFailed:
      return {kCocoaErrorDomain, kJsonEncodingErrorCode, nullptr};
    case StorageErrorKind::incorrectParameterSize:
      return {kCipherErrorDomain, 1, "加密文件长度不正确。"};
    case StorageErrorKind::authenticationFailure:
      return {kCipherErrorDomain, 2, "加密文件校验失败。"};
  }
  return {kFileErrorDomain, 512, "无法写入文件。"};
}

}  // namespace

Error storageError(StorageErrorKind kind, const std::string& detail) {
  // A document's JSON fails the same way wherever it came from: one translation for all.
  if (kind == StorageErrorKind::decodingFailed) return jsonDecodingError(detail);
  if (kind == StorageErrorKind::encodingFailed) return jsonEncodingError(detail);
  KindInfo info = infoOf(kind);
  std::string message = info.message;
  if (!detail.empty()) message += "（" + detail + "）";
  return Error::make(info.domain, info.code, std::move(message));
}

bool isStorageError(const Error& error, StorageErrorKind kind) {
  KindInfo info = infoOf(kind);
  return error.is(info.domain, info.code);
}

Error fileError(int errnoValue, FileOperation operation, const std::string& path) {
  if (errnoValue == ENOENT) {
    switch (operation) {
      case FileOperation::read:
      case FileOperation::attributes:
        // A missing file reads as "no such file" whichever way it was looked at, so that
        // callers asking "is it there?" need to test one kind only.
        return storageError(StorageErrorKind::fileReadNoSuchFile, path);
      case FileOperation::remove:
      case FileOperation::list:
        return storageError(StorageErrorKind::fileNoSuchFile, path);
      default:
        break;
    }
  }
  if (errnoValue == EEXIST && operation == FileOperation::write) {
    return storageError(StorageErrorKind::fileWriteFileExists, path);
  }
  return Error::posix(errnoValue, path);
}

}  // namespace nimbra
