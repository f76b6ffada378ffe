// The bundle's signature manifest, read by CodeSignature::signingTeam. One scratch bundle
// is made at start-up with a key of this process; each input is written as its manifest and
// signed the way `minisign -S` signs (prehashed, with the bundle's trusted comment), so the
// manifest parser and the comparison with the bundle are reached for every input. A bundle
// passes only when the manifest lists exactly what is there: it must then read as the
// manifest built from the bundle.
//
// Input: the manifest text.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>
#include <unistd.h>

#include "core/base64.h"
#include "update/bundle.h"
#include "update/code_signature.h"

namespace {

namespace fs = std::filesystem;
using namespace nimbra;

void check(bool condition) {
  if (!condition) std::abort();
}

void write(const fs::path& file, std::string_view bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) std::abort();
}

std::vector<uint8_t> ed25519Sign(EVP_PKEY* key, std::span<const uint8_t> message) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::vector<uint8_t> signature(64);
  size_t length = signature.size();
  check(context && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestSign(context, signature.data(), &length, message.data(), message.size()) == 1);
  EVP_MD_CTX_free(context);
  return signature;
}

std::vector<uint8_t> blake2b512(std::span<const uint8_t> message) {
  std::vector<uint8_t> digest(64);
  unsigned int length = 0;
  check(EVP_Digest(message.data(), message.size(), digest.data(), &length, EVP_blake2b512(),
                   nullptr) == 1);
  return digest;
}

std::vector<uint8_t> concat(std::string_view prefix, std::span<const uint8_t> a,
                            std::span<const uint8_t> b) {
  std::vector<uint8_t> bytes(prefix.begin(), prefix.end());
  bytes.insert(bytes.end(), a.begin(), a.end());
  bytes.insert(bytes.end(), b.begin(), b.end());
  return bytes;
}

// The scratch bundle (1.1.0, build 101) with its key; never destroyed, removed at exit.
struct SignedBundle {
  SignedBundle() {
    char pattern[] = "/tmp/nimbra-fuzz-signature-XXXXXX";
    check(::mkdtemp(pattern) != nullptr);
    root = pattern;
    bundle = root / Bundle::kBundleName;
    write(Bundle::infoFile(bundle),
          R"({"CFBundleIdentifier":"com.zuvo.devicecenter","CFBundleExecutable":"nimbra",)"
          R"("CFBundleShortVersionString":"1.1.0","CFBundleVersion":"101",)"
          R"("LSMinimumSystemVersion":"2.17"})");
    write(Bundle::executable(bundle),
          "\x7f"
          "ELF");
    write(bundle / "Contents" / "Resources" / "index.html", "<!doctype html><p>nimbra</p>");
    fs::create_directory_symlink("Resources", bundle / "Contents" / "Pages");

    // A fixed key, so that the seeds can list the public key file with its digest.
    std::array<uint8_t, 32> secret{};
    secret.fill(0x42);
    key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, secret.data(), secret.size());
    check(key != nullptr);
    std::array<uint8_t, 32> publicKey{};
    size_t length = publicKey.size();
    check(EVP_PKEY_get_raw_public_key(key, publicKey.data(), &length) == 1);
    write(Bundle::codeSignatureFolder(bundle) / CodeSignature::kPublicKey,
          "untrusted comment: minisign public key\n" +
              base64Encode(concat("Ed", keyId, publicKey)) + "\n");
    comment = CodeSignature::trustedComment(*Bundle::readValues(bundle));
    std::atexit([] { fs::remove_all(SignedBundle::instance().root); });
  }

  static SignedBundle& instance() {
    static SignedBundle* signedBundle = new SignedBundle();
    return *signedBundle;
  }

  void sign(std::string_view manifest) {
    fs::path folder = Bundle::codeSignatureFolder(bundle);
    write(folder / CodeSignature::kManifest, manifest);
    auto message = std::span(reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size());
    std::vector<uint8_t> signature = ed25519Sign(key, blake2b512(message));
    std::vector<uint8_t> global = concat("", signature, std::span<const uint8_t>());
    global.insert(global.end(), comment.begin(), comment.end());
    write(folder / CodeSignature::kSignature, "untrusted comment: signature\n" +
                                                  base64Encode(concat("ED", keyId, signature)) +
                                                  "\ntrusted comment: " + comment + "\n" +
                                                  base64Encode(ed25519Sign(key, global)) + "\n");
  }

  fs::path root;
  fs::path bundle;
  EVP_PKEY* key = nullptr;
  std::array<uint8_t, 8> keyId{1, 2, 3, 4, 5, 6, 7, 8};
  std::string comment;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SignedBundle& bundle = SignedBundle::instance();
  std::string_view manifest(reinterpret_cast<const char*>(data), size);
  bundle.sign(manifest);
  Result<std::string> team = CodeSignature::signingTeam(bundle.bundle);
  if (!team) return 0;
  // The key id, then the SHA-256 of the whole key.
  check(team->starts_with("0807060504030201") && team->size() == 16 + 64);
  // Accepted: the same entries as the bundle's own manifest, whatever the number spelling.
  Result<std::string> built = CodeSignature::buildManifest(bundle.bundle);
  check(built.ok());
  bundle.sign(*built);
  check(CodeSignature::signingTeam(bundle.bundle).ok());
  return 0;
}
