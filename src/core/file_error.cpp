#include "core/file_error.h"

#include <cerrno>

namespace nimbra {
namespace {

const char* messageOf(FileErrorKind kind) {
  switch (kind) {
    case FileErrorKind::noSuchFile:
    case FileErrorKind::readNoSuchFile:
      return "文件不存在。";
    case FileErrorKind::readUnknown:
      return "无法读取文件。";
    case FileErrorKind::readNoPermission:
      return "没有读取文件的权限。";
    case FileErrorKind::readCorruptFile:
      return "文件已损坏或格式不正确。";
    case FileErrorKind::writeUnknown:
      return "无法写入文件。";
    case FileErrorKind::writeFileExists:
      return "文件已存在。";
  }
  return "无法写入文件。";
}

}  // namespace

Error fileKindError(FileErrorKind kind, const std::string& detail) {
  std::string message = messageOf(kind);
  if (!detail.empty()) message += "（" + detail + "）";
  return Error::make(kFileErrorDomain, static_cast<int>(kind), std::move(message));
}

bool isFileError(const Error& error, FileErrorKind kind) {
  return error.is(kFileErrorDomain, static_cast<int>(kind));
}

Error fileError(int errnoValue, FileOperation operation, const std::string& path) {
  if (errnoValue == ENOENT) {
    switch (operation) {
      case FileOperation::read:
      case FileOperation::attributes:
        // A missing file reads as "no such file" whichever way it was looked at, so that
        // callers asking "is it there?" need to test one kind only.
        return fileKindError(FileErrorKind::readNoSuchFile, path);
      case FileOperation::remove:
      case FileOperation::list:
        return fileKindError(FileErrorKind::noSuchFile, path);
      default:
        break;
    }
  }
  if (errnoValue == EEXIST && operation == FileOperation::write) {
    return fileKindError(FileErrorKind::writeFileExists, path);
  }
  return Error::posix(errnoValue, path);
}

}  // namespace nimbra
