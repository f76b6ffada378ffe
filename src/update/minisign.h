#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// minisign public keys and signatures, verified with OpenSSL's Ed25519. Pure functions;
// any thread.
namespace nimbra::Minisign {

using KeyId = std::array<uint8_t, 8>;

struct PublicKey {
  KeyId keyId{};
  std::array<uint8_t, 32> key{};
};

struct Signature {
  bool prehashed = false;  // "ED": the signature covers BLAKE2b-512 of the message
  KeyId keyId{};
  std::array<uint8_t, 64> signature{};
  std::string trustedComment;  // without the "trusted comment: " prefix
  std::array<uint8_t, 64> globalSignature{};
};

// The text of a ".pub" file: an untrusted comment line, then Base64 of "Ed" | id | key.
std::optional<PublicKey> parsePublicKey(std::string_view text);
// The key line alone (the second line of a ".pub" file).
std::optional<PublicKey> parsePublicKeyLine(std::string_view line);
// The key line of a ".pub" file's text, without its line end; empty when there is none.
std::string_view publicKeyLine(std::string_view text);
// The text of a ".minisig" file: untrusted comment, Base64 of algorithm | id | signature,
// "trusted comment: …", Base64 of the global signature.
std::optional<Signature> parseSignature(std::string_view text);

// True when `signature` was made by `key` over `message` and its trusted comment is
// authentic (the global signature over the signature bytes followed by the comment).
bool verify(const PublicKey& key, const Signature& signature, std::span<const uint8_t> message);

// The key id as minisign prints it: the eight bytes read as a little-endian 64-bit number,
// 16 upper-case hexadecimal digits.
std::string keyIdText(const KeyId& keyId);

}  // namespace nimbra::Minisign
