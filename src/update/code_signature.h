#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "update/bundle.h"
#include "update/minisign.h"

// The bundle's signature: "Contents/CodeSignature/manifest" lists every other file, symbolic
// link and folder of the bundle, one line each,
//   PATH <tab> "file" <tab> MODE <tab> SIZE <tab> SHA-256      (MODE octal, as `stat -c %a`)
//   PATH <tab> "link" <tab> MODE <tab> SIZE <tab> TARGET       (SIZE = length of the target)
//   PATH <tab> "dir"  <tab> MODE <tab> 0    <tab>              (empty last field)
// sorted by path in byte order; "manifest.minisig" is a minisign signature of it whose
// trusted comment names the bundle (see trustedComment) and "minisign.pub" the signer's key.
//
// Who may sign an update is never taken from the update itself: TrustAnchors are the keys
// the running bundle trusts, and a staged bundle is verified only with one of them. The team
// identifier is derived from the whole key (its id alone is 8 bytes anyone can copy).
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

// The keys a running bundle accepts updates from: its own "minisign.pub" and the key lines
// its signed Info.json lists under "NimbraUpdateKeys" (how a signer rotates its key).
struct TrustAnchors {
  struct Key {
    std::string line;  // the minisign key line, Base64 of "Ed" | id | key
    Minisign::PublicKey key;
  };
  std::vector<Key> keys;

  // The anchor whose key line is exactly `line`, or null.
  const Key* find(std::string_view line) const;
};

// The key id as minisign prints it followed by the SHA-256 of the 32-byte key (hex): a value
// only the holder of that very key can sign for.
std::string teamIdentifier(const Minisign::PublicKey& key);

// The team identifier of a bundle validly signed by the key it carries itself, whose every
// file, link and folder matches the manifest, none missing, none extra. Fails with
// "应用代码签名无效。" (no signature folder, a broken signature, a manifest mismatch) or
// "无法读取应用签名。" (the folder exists but cannot be read). Proves integrity, not who signed.
Result<std::string> signingTeam(const std::filesystem::path& bundle);

// The same check for a bundle that must come from one of `anchors`: its "minisign.pub" must
// carry exactly an anchor's key line and the signature is verified with that anchor's key,
// never with the key the bundle brings. A bundle consistently signed by any other key fails
// with "更新包的开发者签名身份发生变化。".
Result<std::string> signingTeam(const std::filesystem::path& bundle, const TrustAnchors& anchors);

// The anchors of the running program. Absent when it may not install updates: it does not
// run from a real "nimbra.app" folder (not a link, with "Contents/Info.json"), or that
// folder is not validly signed by its own key. Fails with "无法检查应用签名身份。" when
// the bundle's key or Info.json exists but cannot be read or understood.
Result<std::optional<TrustAnchors>> trustAnchors(const RunningApp& app);

}  // namespace nimbra::CodeSignature
