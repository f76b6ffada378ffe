#include "update/minisign.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <openssl/evp.h>

#include "core/base64.h"

namespace nimbra::Minisign {
namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment:";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";

struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// The lines of a minisign file without their line ends; a final empty line is dropped.
std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> result;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    result.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return result;
}

std::optional<std::vector<uint8_t>> decodeLine(std::string_view line, size_t expected) {
  std::optional<std::vector<uint8_t>> bytes = base64Decode(line);
  if (!bytes || bytes->size() != expected) return std::nullopt;
  return bytes;
}

bool ed25519Verify(const std::array<uint8_t, 32>& key, std::span<const uint8_t> signature,
                   std::span<const uint8_t> message) {
  std::unique_ptr<EVP_PKEY, PkeyDeleter> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
  std::unique_ptr<EVP_MD_CTX, MdContextDeleter> context(EVP_MD_CTX_new());
  if (!pkey || !context) return false;
  // Ed25519 is one-shot in OpenSSL: no digest at init, the whole message at once.
  if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
    return false;
  }
  return EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(),
                          message.size()) == 1;
}

std::optional<std::array<uint8_t, 64>> blake2b512(std::span<const uint8_t> message) {
  std::unique_ptr<EVP_MD_CTX, MdContextDeleter> context(EVP_MD_CTX_new());
  std::array<uint8_t, 64> digest{};
  unsigned int length = 0;
  if (!context || EVP_DigestInit_ex(context.get(), EVP_blake2b512(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), message.data(), message.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

}  // namespace

std::optional<PublicKey> parsePublicKey(std::string_view text) {
  std::vector<std::string_view> all = lines(text);
  if (all.size() < 2 || !all[0].starts_with(kUntrustedPrefix)) return std::nullopt;
  return parsePublicKeyLine(all[1]);
}

std::string_view publicKeyLine(std::string_view text) {
  std::vector<std::string_view> all = lines(text);
  return all.size() < 2 ? std::string_view() : all[1];
}

std::optional<PublicKey> parsePublicKeyLine(std::string_view line) {
  std::optional<std::vector<uint8_t>> bytes = decodeLine(line, 42);
  if (!bytes || (*bytes)[0] != 'E' || (*bytes)[1] != 'd') return std::nullopt;
  PublicKey key;
  std::copy_n(bytes->begin() + 2, 8, key.keyId.begin());
  std::copy_n(bytes->begin() + 10, 32, key.key.begin());
  return key;
}

std::optional<Signature> parseSignature(std::string_view text) {
  std::vector<std::string_view> all = lines(text);
  if (all.size() < 4 || !all[0].starts_with(kUntrustedPrefix) ||
      !all[2].starts_with(kTrustedPrefix)) {
    return std::nullopt;
  }
  std::optional<std::vector<uint8_t>> bytes = decodeLine(all[1], 74);
  std::optional<std::vector<uint8_t>> global = decodeLine(all[3], 64);
  if (!bytes || !global || (*bytes)[0] != 'E') return std::nullopt;
  Signature signature;
  if ((*bytes)[1] == 'D') {
    signature.prehashed = true;
  } else if ((*bytes)[1] != 'd') {
    return std::nullopt;
  }
  std::copy_n(bytes->begin() + 2, 8, signature.keyId.begin());
  std::copy_n(bytes->begin() + 10, 64, signature.signature.begin());
  signature.trustedComment = std::string(all[2].substr(kTrustedPrefix.size()));
  std::copy_n(global->begin(), 64, signature.globalSignature.begin());
  return signature;
}

bool verify(const PublicKey& key, const Signature& signature, std::span<const uint8_t> message) {
  if (key.keyId != signature.keyId) return false;
  if (signature.prehashed) {
    std::optional<std::array<uint8_t, 64>> digest = blake2b512(message);
    if (!digest || !ed25519Verify(key.key, signature.signature, *digest)) return false;
  } else if (!ed25519Verify(key.key, signature.signature, message)) {
    return false;
  }
  std::vector<uint8_t> global(signature.signature.begin(), signature.signature.end());
  global.insert(global.end(), signature.trustedComment.begin(), signature.trustedComment.end());
  return ed25519Verify(key.key, signature.globalSignature, global);
}

std::string keyIdText(const KeyId& keyId) {
  std::string text;
  char digits[3];
  for (size_t i = keyId.size(); i-- > 0;) {
    std::snprintf(digits, sizeof digits, "%02X", keyId[i]);
    text += digits;
  }
  return text;
}

}  // namespace nimbra::Minisign
