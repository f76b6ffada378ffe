#pragma once

#include <string>

#include "core/error.h"

// Every failure the updater reports itself: domain "nimbraUpdate", code 1, and one of the
// texts below as the message the page could show. Foreign errors (file system, network,
// JSON) travel unchanged.
namespace nimbra::UpdateSupport {

inline constexpr char kErrorDomain[] = "nimbraUpdate";
inline constexpr int kErrorCode = 1;

inline constexpr char kCheckFailed[] = "版本检查失败。";
inline constexpr char kDownloadFailed[] = "下载失败。";
inline constexpr char kSizeOrPlatform[] = "更新包大小或平台信息不正确。";
inline constexpr char kDigestMismatch[] = "更新包 SHA-256 校验失败。";
inline constexpr char kUnsupportedFormat[] = "不支持的更新包格式。";
inline constexpr char kToolFailed[] = "更新文件处理失败。";
inline constexpr char kIdentityMismatch[] = "安装包身份、版本或架构不匹配。";
inline constexpr char kNoAppInPackage[] = "镜像内缺少 nimbra.app。";
inline constexpr char kSystemTooOld[] = "当前系统版本不支持此更新。";
inline constexpr char kWrongArchitecture[] = "更新可执行文件不支持当前架构。";
inline constexpr char kLinkOutside[] = "更新包含应用之外的链接。";
inline constexpr char kSignatureUnreadable[] = "无法读取应用签名。";
inline constexpr char kSignatureInvalid[] = "应用代码签名无效。";
inline constexpr char kSigningInfoUnavailable[] = "无法检查应用签名身份。";
inline constexpr char kSignerChanged[] = "更新包的开发者签名身份发生变化。";
inline constexpr char kInstallerMissing[] = "更新安装助手缺失。";

inline Error updateError(const char* message) {
  return Error::make(kErrorDomain, kErrorCode, message);
}

inline bool isUpdateError(const Error& error, const char* message) {
  return error.is(kErrorDomain, kErrorCode) && error.message == message;
}

}  // namespace nimbra::UpdateSupport
