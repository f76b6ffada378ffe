#include "support/update_bundle.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <archive.h>
#include <archive_entry.h>
#include <elf.h>
#include <gnu/libc-version.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include "core/base64.h"
#include "core/hex.h"
#include "core/sha256.h"
#include "support/file_contents.h"
#include "update/code_signature.h"

namespace nimbra::test {
namespace {

namespace fs = std::filesystem;

using testing::readAll;

std::vector<uint8_t> ed25519Sign(EVP_PKEY* key, const std::vector<uint8_t>& message) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::vector<uint8_t> signature(64);
  size_t length = signature.size();
  if (EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) != 1 ||
      EVP_DigestSign(context, signature.data(), &length, message.data(), message.size()) != 1) {
    throw std::runtime_error("ed25519 sign");
  }
  EVP_MD_CTX_free(context);
  return signature;
}

std::vector<uint8_t> blake2b(const std::string& message) {
  std::vector<uint8_t> digest(64);
  unsigned int length = 64;
  EVP_Digest(message.data(), message.size(), digest.data(), &length, EVP_blake2b512(), nullptr);
  return digest;
}

}  // namespace

TestSigner::TestSigner() {
  EVP_PKEY* key = nullptr;
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
  if (EVP_PKEY_keygen_init(context) != 1 || EVP_PKEY_keygen(context, &key) != 1) {
    throw std::runtime_error("ed25519 keygen");
  }
  EVP_PKEY_CTX_free(context);
  key_ = key;
  RAND_bytes(id_.data(), static_cast<int>(id_.size()));
}

TestSigner::TestSigner(const std::array<uint8_t, 8>& keyId) : TestSigner() { id_ = keyId; }

std::string TestSigner::keyLine() const {
  std::vector<uint8_t> publicBytes{'E', 'd'};
  publicBytes.insert(publicBytes.end(), id_.begin(), id_.end());
  uint8_t raw[32];
  size_t rawLength = sizeof raw;
  EVP_PKEY_get_raw_public_key(static_cast<EVP_PKEY*>(key_), raw, &rawLength);
  publicBytes.insert(publicBytes.end(), raw, raw + 32);
  return base64Encode(publicBytes);
}

TestSigner::~TestSigner() { EVP_PKEY_free(static_cast<EVP_PKEY*>(key_)); }

std::string TestSigner::keyId() const {
  std::string text;
  for (size_t i = id_.size(); i-- > 0;) {
    text += hexString(std::span(&id_[i], 1));
  }
  std::transform(text.begin(), text.end(), text.begin(), ::toupper);
  return text;
}

void TestSigner::sign(const fs::path& bundle, bool prehashed,
                      std::optional<std::string> comment) const {
  auto* key = static_cast<EVP_PKEY*>(key_);
  fs::path folder = Bundle::codeSignatureFolder(bundle);
  fs::create_directories(folder);
  writeText(folder / CodeSignature::kPublicKey,
            "untrusted comment: minisign public key " + keyId() + "\n" + keyLine() + "\n");

  std::string manifest = CodeSignature::buildManifest(bundle).value();
  writeText(folder / CodeSignature::kManifest, manifest);
  std::vector<uint8_t> message =
      prehashed ? blake2b(manifest) : std::vector<uint8_t>(manifest.begin(), manifest.end());
  std::vector<uint8_t> signature = ed25519Sign(key, message);
  std::string trusted =
      comment.value_or(CodeSignature::trustedComment(*Bundle::readValues(bundle)));
  std::vector<uint8_t> global(signature);
  global.insert(global.end(), trusted.begin(), trusted.end());
  std::vector<uint8_t> globalSignature = ed25519Sign(key, global);
  std::vector<uint8_t> line{'E', static_cast<uint8_t>(prehashed ? 'D' : 'd')};
  line.insert(line.end(), id_.begin(), id_.end());
  line.insert(line.end(), signature.begin(), signature.end());
  writeText(folder / CodeSignature::kSignature,
            "untrusted comment: signature from minisign secret key\n" + base64Encode(line) +
                "\ntrusted comment: " + trusted + "\n" + base64Encode(globalSignature) + "\n");
}

BundleValues goodValues(const std::string& version, const std::string& build) {
  return BundleValues{
      .identifier = Bundle::kIdentifier,
      .executable = Bundle::kExecutable,
      .shortVersion = version,
      .version = build,
      .minimumSystem = "2.17",
  };
}

std::string elfExecutable(uint16_t machine) {
  std::string bytes(256, '\0');
  bytes[0] = 0x7f;
  bytes[1] = 'E';
  bytes[2] = 'L';
  bytes[3] = 'F';
  bytes[EI_CLASS] = ELFCLASS64;
  bytes[EI_DATA] = ELFDATA2LSB;
  bytes[EI_VERSION] = EV_CURRENT;
  bytes[16] = ET_DYN;
  bytes[18] = static_cast<char>(machine & 0xff);
  bytes[19] = static_cast<char>(machine >> 8);
  bytes[20] = EV_CURRENT;
  return bytes;
}

void listUpdateKeys(const fs::path& bundle, const std::vector<std::string>& keyLines) {
  nlohmann::ordered_json info = nlohmann::ordered_json::parse(readAll(Bundle::infoFile(bundle)));
  info["NimbraUpdateKeys"] = keyLines;
  writeText(Bundle::infoFile(bundle), info.dump(2));
}

void writeText(const fs::path& file, const std::string& text, unsigned mode) {
  fs::create_directories(file.parent_path());
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
  }
  ::chmod(file.c_str(), mode);
}

fs::path makeBundle(const fs::path& folder, const BundleValues& values,
                    const std::string& executable) {
  fs::path bundle = folder / Bundle::kBundleName;
  nlohmann::ordered_json info = nlohmann::ordered_json::object();
  auto put = [&](const char* key, const std::optional<std::string>& value) {
    if (value) info[key] = *value;
  };
  put("CFBundleIdentifier", values.identifier);
  put("CFBundleExecutable", values.executable);
  put("CFBundleShortVersionString", values.shortVersion);
  put("CFBundleVersion", values.version);
  put("LSMinimumSystemVersion", values.minimumSystem);
  writeText(Bundle::infoFile(bundle), info.dump(2));
  writeText(Bundle::executable(bundle), executable, 0755);
  writeText(Bundle::installer(bundle), elfExecutable(EM_X86_64), 0755);
  writeText(bundle / "Contents" / "Resources" / "index.html", "<!doctype html><p>nimbra</p>");
  return bundle;
}

std::vector<ZipEntry> entriesOf(const fs::path& folder, const std::string& prefix) {
  std::vector<ZipEntry> entries;
  std::vector<fs::path> paths;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  for (const fs::path& path : paths) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    ZipEntry entry;
    entry.name = prefix + path.lexically_relative(folder).string();
    entry.mode = info.st_mode & 07777;
    if (S_ISLNK(info.st_mode)) {
      entry.type = ZipEntry::Type::link;
      entry.content = fs::read_symlink(path).string();
    } else if (S_ISDIR(info.st_mode)) {
      entry.type = ZipEntry::Type::directory;
      entry.name += "/";
    } else {
      entry.content = readAll(path);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

void writeZip(const fs::path& zip, const std::vector<ZipEntry>& entries) {
  archive* writer = archive_write_new();
  archive_write_set_format_zip(writer);
  archive_write_set_options(writer, "zip:compression=deflate");
  if (archive_write_open_filename(writer, zip.c_str()) != ARCHIVE_OK) {
    throw std::runtime_error("zip open");
  }
  for (const ZipEntry& item : entries) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, item.name.c_str());
    archive_entry_set_perm(entry, item.mode);
    if (item.type == ZipEntry::Type::link) {
      archive_entry_set_filetype(entry, AE_IFLNK);
      archive_entry_set_symlink(entry, item.content.c_str());
    } else if (item.type == ZipEntry::Type::hardLink) {
      archive_entry_set_filetype(entry, AE_IFREG);
      archive_entry_set_hardlink(entry, item.content.c_str());
    } else if (item.type == ZipEntry::Type::directory) {
      archive_entry_set_filetype(entry, AE_IFDIR);
    } else {
      archive_entry_set_filetype(entry, AE_IFREG);
      archive_entry_set_size(entry, static_cast<la_int64_t>(item.content.size()));
    }
    archive_write_header(writer, entry);
    if (item.type == ZipEntry::Type::file) {
      archive_write_data(writer, item.content.data(), item.content.size());
    }
    archive_entry_free(entry);
  }
  archive_write_close(writer);
  archive_write_free(writer);
}

void understateSizes(const fs::path& zip, uint32_t size) {
  std::string bytes = readAll(zip);
  auto put = [&bytes, size](size_t at) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((size >> (8 * i)) & 0xff);
  };
  // Local file header "PK\3\4": uncompressed size at 22; central record "PK\1\2": at 24.
  for (size_t at = 0; (at = bytes.find("PK", at)) != std::string::npos; ++at) {
    if (at + 28 > bytes.size()) break;
    if (bytes[at + 2] == 3 && bytes[at + 3] == 4) put(at + 22);
    if (bytes[at + 2] == 1 && bytes[at + 3] == 2) put(at + 24);
  }
  std::ofstream(zip, std::ios::binary | std::ios::trunc) << bytes;
}

std::string sha256File(const fs::path& file) {
  std::string bytes = readAll(file);
  return hexString(sha256(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())));
}

}  // namespace nimbra::test
