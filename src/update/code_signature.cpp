#include "update/code_signature.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <map>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "core/file_system.h"
#include "core/hex.h"
#include "core/sha256.h"
#include "update/minisign.h"
#include "update/update_error.h"

namespace nimbra::CodeSignature {
namespace {

namespace fs = std::filesystem;
using UpdateSupport::updateError;

constexpr char kUpdateKeys[] = "NimbraUpdateKeys";

struct Item {
  std::string type;  // "file", "link" or "dir"
  unsigned mode = 0;
  uint64_t size = 0;
  std::string detail;  // digest or link target
  bool operator==(const Item&) const = default;
};

bool isSignatureFile(const std::string& relative) {
  return relative == std::string("Contents/CodeSignature/") + kManifest ||
         relative == std::string("Contents/CodeSignature/") + kSignature;
}

Result<std::string> fileDigest(const fs::path& file) {
  Result<std::string> bytes = readFile(file);
  if (!bytes) return bytes.error();
  auto data = std::span(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size());
  return hexString(sha256(data));
}

// Every file, link and folder below `bundle` as the manifest describes them, keyed by
// relative path. Anything else (a FIFO, a device) makes the bundle invalid.
Result<std::map<std::string, Item>> describe(const fs::path& bundle) {
  std::map<std::string, Item> items;
  std::error_code error;
  for (fs::recursive_directory_iterator walk(bundle, error), end; !error && walk != end;
       walk.increment(error)) {
    const fs::directory_entry& entry = *walk;
    std::string relative = entry.path().lexically_relative(bundle).string();
    if (isSignatureFile(relative)) continue;
    struct stat info {};
    if (::lstat(entry.path().c_str(), &info) != 0) {
      return updateError(UpdateSupport::kSignatureInvalid);
    }
    Item item;
    item.mode = info.st_mode & 07777;
    item.size = static_cast<uint64_t>(info.st_size);
    if (S_ISDIR(info.st_mode)) {
      item.type = "dir";
      item.size = 0;
    } else if (S_ISREG(info.st_mode)) {
      Result<std::string> digest = fileDigest(entry.path());
      if (!digest) return updateError(UpdateSupport::kSignatureInvalid);
      item.type = "file";
      item.detail = *digest;
    } else if (S_ISLNK(info.st_mode)) {
      item.type = "link";
      item.detail = fs::read_symlink(entry.path(), error).string();
      if (error) return updateError(UpdateSupport::kSignatureInvalid);
    } else {
      return updateError(UpdateSupport::kSignatureInvalid);
    }
    items.emplace(std::move(relative), std::move(item));
  }
  if (error) return updateError(UpdateSupport::kSignatureInvalid);
  return items;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

template <typename T>
bool parseNumber(std::string_view text, T& out, int base) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

std::optional<std::map<std::string, Item>> parseManifest(std::string_view text) {
  std::map<std::string, Item> items;
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (text.empty()) return items;
  for (std::string_view line : split(text, '\n')) {
    std::vector<std::string_view> fields = split(line, '\t');
    if (fields.size() != 5 || fields[0].empty()) return std::nullopt;
    Item item;
    item.type = std::string(fields[1]);
    item.detail = std::string(fields[4]);
    if ((item.type != "file" && item.type != "link" && item.type != "dir") ||
        !parseNumber(fields[2], item.mode, 8) || !parseNumber(fields[3], item.size, 10)) {
      return std::nullopt;
    }
    if (!items.emplace(std::string(fields[0]), std::move(item)).second) return std::nullopt;
  }
  return items;
}

std::string formatLine(const std::string& path, const Item& item) {
  char mode[16];
  std::snprintf(mode, sizeof mode, "%o", item.mode);
  return path + "\t" + item.type + "\t" + mode + "\t" + std::to_string(item.size) + "\t" +
         item.detail + "\n";
}

// Reads one file of the signature folder: a missing file is an invalid signature, any
// other failure an unreadable one.
Result<std::string> readSignatureFile(const fs::path& file) {
  Result<std::string> text = readFile(file);
  if (text) return text;
  Result<bool> exists = fileExists(file);
  if (exists && !*exists) return updateError(UpdateSupport::kSignatureInvalid);
  return updateError(UpdateSupport::kSignatureUnreadable);
}

struct SignatureFiles {
  std::string manifest;
  std::string signature;
  std::string publicKey;
};

Result<SignatureFiles> readSignatureFiles(const fs::path& bundle) {
  fs::path folder = Bundle::codeSignatureFolder(bundle);
  Result<FileStatus> status = linkStatus(folder);
  if (!status || !status->isDirectory) {
    Result<bool> exists = fileExists(folder);
    bool missing = !exists || !*exists || (status && !status->isDirectory);
    return updateError(missing ? UpdateSupport::kSignatureInvalid
                               : UpdateSupport::kSignatureUnreadable);
  }
  SignatureFiles files;
  for (auto [name, text] :
       {std::pair{kManifest, &files.manifest}, std::pair{kSignature, &files.signature},
        std::pair{kPublicKey, &files.publicKey}}) {
    Result<std::string> read = readSignatureFile(folder / name);
    if (!read) return read.error();
    *text = std::move(*read);
  }
  return files;
}

// The manifest is signed by `key` (and so is its trusted comment, which must name this
// bundle's values), and the bundle holds exactly what the manifest lists.
Status verifyWith(const fs::path& bundle, const SignatureFiles& files,
                  const Minisign::PublicKey& key) {
  std::optional<Minisign::Signature> signature = Minisign::parseSignature(files.signature);
  auto message =
      std::span(reinterpret_cast<const uint8_t*>(files.manifest.data()), files.manifest.size());
  if (!signature || !Minisign::verify(key, *signature, message)) {
    return updateError(UpdateSupport::kSignatureInvalid);
  }
  std::optional<BundleValues> values = Bundle::readValues(bundle);
  if (!values || signature->trustedComment != trustedComment(*values)) {
    return updateError(UpdateSupport::kSignatureInvalid);
  }
  std::optional<std::map<std::string, Item>> listed = parseManifest(files.manifest);
  Result<std::map<std::string, Item>> present = describe(bundle);
  if (!present) return present.error();
  if (!listed || *listed != *present) return updateError(UpdateSupport::kSignatureInvalid);
  return {};
}

}  // namespace

std::string trustedComment(const BundleValues& values) {
  return values.identifier.value_or("") + " " + values.shortVersion.value_or("") + " (" +
         values.version.value_or("") + ")";
}

Result<std::string> buildManifest(const fs::path& bundle) {
  Result<std::map<std::string, Item>> items = describe(bundle);
  if (!items) return items.error();
  std::string text;
  for (const auto& [path, item] : *items) text += formatLine(path, item);
  return text;
}

const TrustAnchors::Key* TrustAnchors::find(std::string_view line) const {
  for (const Key& anchor : keys) {
    if (anchor.line == line) return &anchor;
  }
  return nullptr;
}

std::string teamIdentifier(const Minisign::PublicKey& key) {
  std::string digest = hexString(sha256(key.key));
  for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return Minisign::keyIdText(key.keyId) + digest;
}

Result<std::string> signingTeam(const fs::path& bundle) {
  Result<SignatureFiles> files = readSignatureFiles(bundle);
  if (!files) return files.error();
  std::optional<Minisign::PublicKey> key = Minisign::parsePublicKey(files->publicKey);
  if (!key) return updateError(UpdateSupport::kSignatureInvalid);
  if (Status status = verifyWith(bundle, *files, *key); !status) return status.error();
  return teamIdentifier(*key);
}

Result<std::string> signingTeam(const fs::path& bundle, const TrustAnchors& anchors) {
  Result<SignatureFiles> files = readSignatureFiles(bundle);
  if (!files) return files.error();
  const TrustAnchors::Key* anchor = anchors.find(Minisign::publicKeyLine(files->publicKey));
  if (anchor != nullptr) {
    if (Status status = verifyWith(bundle, *files, anchor->key); !status) return status.error();
    return teamIdentifier(anchor->key);
  }
  // Not an anchor, so refused whatever else holds. The bundle's own key only tells a broken
  // package ("invalid") from a consistently signed one by someone else ("signer changed").
  std::optional<Minisign::PublicKey> brought = Minisign::parsePublicKey(files->publicKey);
  if (!brought) return updateError(UpdateSupport::kSignatureInvalid);
  if (Status status = verifyWith(bundle, *files, *brought); !status) return status.error();
  return updateError(UpdateSupport::kSignerChanged);
}

Result<std::optional<TrustAnchors>> trustAnchors(const RunningApp& app) {
  const std::optional<TrustAnchors> none;
  if (!app.isBundle || app.bundle.filename() != Bundle::kBundleName) return none;
  for (const fs::path& folder : {app.bundle, Bundle::codeSignatureFolder(app.bundle)}) {
    Result<FileStatus> status = linkStatus(folder);
    if (!status || !status->isDirectory) return none;
  }
  Result<FileStatus> info = linkStatus(Bundle::infoFile(app.bundle));
  if (!info || !info->isRegular) return none;

  const Error unavailable = updateError(UpdateSupport::kSigningInfoUnavailable);
  if (!readFile(Bundle::infoFile(app.bundle))) return unavailable;
  // Info.json and the key are trusted only once the bundle is proven signed by that key.
  if (Result<std::string> team = signingTeam(app.bundle); !team) {
    if (UpdateSupport::isUpdateError(team.error(), UpdateSupport::kSignatureUnreadable)) {
      return unavailable;
    }
    return none;
  }
  Result<std::string> keyText = readFile(Bundle::codeSignatureFolder(app.bundle) / kPublicKey);
  Result<std::string> infoText = readFile(Bundle::infoFile(app.bundle));
  if (!keyText || !infoText) return unavailable;
  std::optional<Minisign::PublicKey> own = Minisign::parsePublicKey(*keyText);
  nlohmann::json object = nlohmann::json::parse(*infoText, nullptr, false);
  if (!own || !object.is_object()) return unavailable;

  TrustAnchors anchors;
  anchors.keys.push_back({std::string(Minisign::publicKeyLine(*keyText)), *own});
  auto listed = object.find(kUpdateKeys);
  if (listed == object.end()) return std::optional<TrustAnchors>(std::move(anchors));
  if (!listed->is_array()) return unavailable;
  for (const nlohmann::json& item : *listed) {
    std::optional<Minisign::PublicKey> key =
        item.is_string() ? Minisign::parsePublicKeyLine(item.get<std::string>()) : std::nullopt;
    if (!key) return unavailable;
    anchors.keys.push_back({item.get<std::string>(), *key});
  }
  return std::optional<TrustAnchors>(std::move(anchors));
}

}  // namespace nimbra::CodeSignature
