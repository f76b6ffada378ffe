#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "update/bundle.h"

// Building "nimbra.app" bundles, minisign signatures and zip packages for the updater's
// tests.
namespace nimbra::test {

// An Ed25519 key pair with a random minisign key id, signing the way `minisign -S` does
// (prehashed "ED" form by default, legacy "Ed" on request).
class TestSigner {
 public:
  TestSigner();
  // A fresh key that carries `keyId` (as a forger copying a published id would).
  explicit TestSigner(const std::array<uint8_t, 8>& keyId);
  ~TestSigner();
  TestSigner(const TestSigner&) = delete;
  TestSigner& operator=(const TestSigner&) = delete;

  // The key id as minisign prints it.
  std::string keyId() const;
  const std::array<uint8_t, 8>& keyIdBytes() const { return id_; }
  // The key line of its minisign.pub (what Info.json's "NimbraUpdateKeys" lists).
  std::string keyLine() const;
  // Writes minisign.pub, the manifest and manifest.minisig into the bundle's
  // Contents/CodeSignature, with the trusted comment of its Info.json values unless
  // `comment` is given.
  void sign(const std::filesystem::path& bundle, bool prehashed = true,
            std::optional<std::string> comment = std::nullopt) const;

 private:
  void* key_;  // EVP_PKEY*
  std::array<uint8_t, 8> id_{};
};

// The values of a bundle for `version` and `build` that passes every check on this machine.
BundleValues goodValues(const std::string& version, const std::string& build);

// A minimal 64-bit little-endian ELF header for `machine`, padded to 256 bytes.
std::string elfExecutable(uint16_t machine);

// Writes folder/nimbra.app with Contents/Info.json (the given values; absent ones left
// out), Contents/bin/nimbra (`executable`), Contents/bin/UpdateInstaller and a page.
std::filesystem::path makeBundle(const std::filesystem::path& folder, const BundleValues& values,
                                 const std::string& executable);

// Adds "NimbraUpdateKeys" with `keyLines` to the bundle's Info.json (before signing it).
void listUpdateKeys(const std::filesystem::path& bundle, const std::vector<std::string>& keyLines);

void writeText(const std::filesystem::path& file, const std::string& text, unsigned mode = 0644);

struct ZipEntry {
  enum class Type { file, directory, link, hardLink };
  std::string name;
  Type type = Type::file;
  unsigned mode = 0644;  // may include set-id bits, to test refusing them
  std::string content;   // the file's bytes, or the link's target (both kinds of link)
};

// The entries of every file, folder and link below `folder`, named `prefix` + the
// relative path.
std::vector<ZipEntry> entriesOf(const std::filesystem::path& folder, const std::string& prefix);

// Writes a zip holding `entries`, in order (deflated).
void writeZip(const std::filesystem::path& zip, const std::vector<ZipEntry>& entries);

// Rewrites every size the zip declares for its entries' unpacked data (local headers and
// central directory) to `size`, leaving the data as it is: a package lying about its size.
void understateSizes(const std::filesystem::path& zip, uint32_t size);

std::string sha256File(const std::filesystem::path& file);

}  // namespace nimbra::test
