// The minisign files of a bundle's signature: the public key ("minisign.pub") and the
// signature ("manifest.minisig"). Whatever parses must write back, in minisign's own
// layout, to text that parses to the same values, and verifying must never crash: with
// the parsed key over the parsed signature, and with a key of its own id against it.
//
// Input: the text of either file; both parsers read it.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base64.h"
#include "update/minisign.h"

namespace {

using namespace nimbra;

void check(bool condition) {
  if (!condition) std::abort();
}

std::string base64Of(std::string_view prefix, std::span<const uint8_t> a,
                     std::span<const uint8_t> b) {
  std::vector<uint8_t> bytes(prefix.begin(), prefix.end());
  bytes.insert(bytes.end(), a.begin(), a.end());
  bytes.insert(bytes.end(), b.begin(), b.end());
  return base64Encode(bytes);
}

std::string keyText(const Minisign::PublicKey& key) {
  return "untrusted comment: minisign public key\n" + base64Of("Ed", key.keyId, key.key) + "\n";
}

std::string signatureText(const Minisign::Signature& signature) {
  return "untrusted comment: signature\n" +
         base64Of(signature.prehashed ? "ED" : "Ed", signature.keyId, signature.signature) +
         "\ntrusted comment: " + signature.trustedComment + "\n" +
         base64Encode(signature.globalSignature) + "\n";
}

bool same(const Minisign::Signature& a, const Minisign::Signature& b) {
  return a.prehashed == b.prehashed && a.keyId == b.keyId && a.signature == b.signature &&
         a.trustedComment == b.trustedComment && a.globalSignature == b.globalSignature;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto message = std::span(data, size);

  std::optional<Minisign::PublicKey> key = Minisign::parsePublicKey(text);
  if (key) {
    std::optional<Minisign::PublicKey> again = Minisign::parsePublicKey(keyText(*key));
    check(again && again->keyId == key->keyId && again->key == key->key);
    check(Minisign::keyIdText(key->keyId).size() == 16);
  }

  std::optional<Minisign::Signature> signature = Minisign::parseSignature(text);
  if (signature) {
    // The comment is one line: a line end in it would change what the global signature
    // covers.
    check(signature->trustedComment.find('\n') == std::string::npos);
    std::optional<Minisign::Signature> again = Minisign::parseSignature(signatureText(*signature));
    check(again && same(*again, *signature));

    // Any 32 bytes under the signature's own id get past the id check into OpenSSL.
    Minisign::PublicKey other;
    other.keyId = signature->keyId;
    std::copy_n(signature->signature.begin(), other.key.size(), other.key.begin());
    (void)Minisign::verify(other, *signature, message);
  }
  if (key && signature) (void)Minisign::verify(*key, *signature, message);
  return 0;
}
