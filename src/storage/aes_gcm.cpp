#include "storage/aes_gcm.h"

#include <climits>
#include <memory>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "storage/storage_error.h"

namespace nimbra {
namespace {

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// OpenSSL reports through its thread-local error queue; take the newest entry as detail and
// clear the queue so a later call does not inherit it.
Error opensslError(const char* step) {
  unsigned long code = ERR_get_error();
  std::string detail = step;
  if (code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    detail += ": ";
    detail += text;
  }
  ERR_clear_error();
  return storageError(StorageErrorKind::fileWriteUnknown, detail);
}

const unsigned char* bytesOf(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

bool fitsInt(size_t size) { return size <= static_cast<size_t>(INT_MAX); }

}  // namespace

Status randomBytes(std::span<uint8_t> out) {
  if (!fitsInt(out.size()) || RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
    return opensslError("RAND_bytes");
  }
  return {};
}

Status sealAppending(const StorageKey& key, std::string_view plaintext, std::string_view aad,
                     std::vector<uint8_t>& out) {
  if (!fitsInt(plaintext.size()) || !fitsInt(aad.size())) return opensslError("input too large");
  size_t start = out.size();
  out.resize(start + kGcmNonceSize + plaintext.size() + kGcmTagSize);
  uint8_t* nonce = out.data() + start;
  uint8_t* cipher = nonce + kGcmNonceSize;
  uint8_t* tag = cipher + plaintext.size();
  auto fail = [&](const char* step) {
    out.resize(start);
    return Status(opensslError(step));
  };
  if (Status status = randomBytes({nonce, kGcmNonceSize}); !status) return fail("nonce");

  CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  int length = 0;
  if (!context ||
      EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce) != 1) {
    return fail("EVP_EncryptInit_ex");
  }
  if (EVP_EncryptUpdate(context.get(), nullptr, &length, bytesOf(aad),
                        static_cast<int>(aad.size())) != 1) {
    return fail("EVP_EncryptUpdate(aad)");
  }
  if (EVP_EncryptUpdate(context.get(), cipher, &length, bytesOf(plaintext),
                        static_cast<int>(plaintext.size())) != 1 ||
      static_cast<size_t>(length) != plaintext.size()) {
    return fail("EVP_EncryptUpdate");
  }
  if (EVP_EncryptFinal_ex(context.get(), cipher + length, &length) != 1 || length != 0) {
    return fail("EVP_EncryptFinal_ex");
  }
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kGcmTagSize, tag) != 1) {
    return fail("EVP_CTRL_GCM_GET_TAG");
  }
  return {};
}

Result<std::string> openCombined(const StorageKey& key, std::span<const uint8_t> combined,
                                 std::string_view aad) {
  if (combined.size() < kGcmNonceSize + kGcmTagSize) {
    return storageError(StorageErrorKind::incorrectParameterSize);
  }
  if (!fitsInt(combined.size()) || !fitsInt(aad.size())) {
    return storageError(StorageErrorKind::incorrectParameterSize);
  }
  const uint8_t* nonce = combined.data();
  const uint8_t* cipher = nonce + kGcmNonceSize;
  size_t cipherSize = combined.size() - kGcmNonceSize - kGcmTagSize;
  const uint8_t* tag = cipher + cipherSize;

  CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  std::string plaintext(cipherSize, '\0');
  int length = 0;
  if (!context ||
      EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce) != 1 ||
      EVP_DecryptUpdate(context.get(), nullptr, &length, bytesOf(aad),
                        static_cast<int>(aad.size())) != 1 ||
      EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char*>(plaintext.data()), &length,
                        cipher, static_cast<int>(cipherSize)) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kGcmTagSize,
                          const_cast<uint8_t*>(tag)) != 1) {
    return opensslError("decrypt");
  }
  int finalLength = 0;
  if (EVP_DecryptFinal_ex(context.get(),
                          reinterpret_cast<unsigned char*>(plaintext.data()) + length,
                          &finalLength) != 1) {
    ERR_clear_error();
    return storageError(StorageErrorKind::authenticationFailure);
  }
  return plaintext;
}

}  // namespace nimbra
