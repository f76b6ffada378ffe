#include "update/code_signature.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <map>
#include <system_error>
#include <vector>

#include <sys/stat.h>

#include "core/hex.h"
#include "core/sha256.h"
#include "storage/file_system.h"
#include "update/minisign.h"
#include "update/update_error.h"

namespace nimbra::CodeSignature {
namespace {

namespace fs = std::filesystem;
using UpdateSupport::updateError;

struct Item {
  std::string type;  // "file" or "link"
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

// Every file and link below `bundle` as the manifest describes them, keyed by relative
// path. Anything else that is not a directory (a FIFO, a device) makes the bundle invalid.
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
    if (S_ISDIR(info.st_mode)) continue;
    if (S_ISREG(info.st_mode)) {
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
    if ((item.type != "file" && item.type != "link") || !parseNumber(fields[2], item.mode, 8) ||
        !parseNumber(fields[3], item.size, 10)) {
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

Result<std::string> signingTeam(const fs::path& bundle) {
  fs::path folder = Bundle::codeSignatureFolder(bundle);
  Result<FileStatus> status = linkStatus(folder);
  if (!status || !status->isDirectory) {
    Result<bool> exists = fileExists(folder);
    bool missing = !exists || !*exists || (status && !status->isDirectory);
    return updateError(missing ? UpdateSupport::kSignatureInvalid
                               : UpdateSupport::kSignatureUnreadable);
  }
  Result<std::string> manifest = readSignatureFile(folder / kManifest);
  if (!manifest) return manifest.error();
  Result<std::string> signatureText = readSignatureFile(folder / kSignature);
  if (!signatureText) return signatureText.error();
  Result<std::string> keyText = readSignatureFile(folder / kPublicKey);
  if (!keyText) return keyText.error();

  std::optional<Minisign::PublicKey> key = Minisign::parsePublicKey(*keyText);
  std::optional<Minisign::Signature> signature = Minisign::parseSignature(*signatureText);
  auto message = std::span(reinterpret_cast<const uint8_t*>(manifest->data()), manifest->size());
  if (!key || !signature || !Minisign::verify(*key, *signature, message)) {
    return updateError(UpdateSupport::kSignatureInvalid);
  }
  std::optional<BundleValues> values = Bundle::readValues(bundle);
  if (!values || signature->trustedComment != trustedComment(*values)) {
    return updateError(UpdateSupport::kSignatureInvalid);
  }
  std::optional<std::map<std::string, Item>> listed = parseManifest(*manifest);
  Result<std::map<std::string, Item>> present = describe(bundle);
  if (!present) return present.error();
  if (!listed || *listed != *present) return updateError(UpdateSupport::kSignatureInvalid);
  return Minisign::keyIdText(key->keyId);
}

Result<std::optional<std::string>> runningTeam(const RunningApp& app) {
  if (!app.isBundle) return std::optional<std::string>();
  Result<bool> signedBundle = fileExists(Bundle::codeSignatureFolder(app.bundle));
  if (signedBundle && !*signedBundle) return std::optional<std::string>();
  Result<std::string> team = signingTeam(app.bundle);
  if (!team) return team.error();
  return std::optional<std::string>(*team);
}

}  // namespace nimbra::CodeSignature
