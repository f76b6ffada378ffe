#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "core/error.h"
#include "update/bundle.h"

// The bundle's signature: "Contents/CodeSignature/manifest" lists every other file and
// symbolic link of the bundle, one line each,
//   PATH <tab> "file" <tab> MODE <tab> SIZE <tab> SHA-256      (MODE octal, as `stat -c %a`)
//   PATH <tab> "link" <tab> MODE <tab> SIZE <tab> TARGET       (SIZE = length of the target)
// sorted by path in byte order; "manifest.minisig" is a minisign signature of it whose
// trusted comment names the bundle (see trustedComment) and "minisign.pub" the signer's key.
// Any thread; no state.
namespace nimbra::CodeSignature {

inline constexpr char kManifest[] = "manifest";
inline constexpr char kSignature[] = "manifest.minisig";
inline constexpr char kPublicKey[] = "minisign.pub";

// The trusted comment a signature of a bundle with these values must carry:
// "com.zuvo.devicecenter 1.4.0 (212)". Binds the signature to one version and build, so an
// older signed bundle cannot be passed off as a newer one.
std::string trustedComment(const BundleValues& values);

// The manifest text of the bundle as it is now (for the signer and for tests).
Result<std::string> buildManifest(const std::filesystem::path& bundle);

// The signer's key id (the team identifier) of a validly signed bundle whose every file
// and link matches the manifest, none missing, none extra. Fails with "应用代码签名无效。"
// (no signature folder, a broken signature, a manifest mismatch) or "无法读取应用签名。"
// (the folder exists but cannot be read).
Result<std::string> signingTeam(const std::filesystem::path& bundle);

// The running program's team identifier: absent when it is not a signed bundle.
Result<std::optional<std::string>> runningTeam(const RunningApp& app);

}  // namespace nimbra::CodeSignature
