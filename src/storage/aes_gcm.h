#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace nimbra {

// AES-256-GCM in the combined form: 12-byte nonce, ciphertext, 16-byte tag. The only file
// that talks to OpenSSL's cipher and random APIs; OpenSSL failures become Errors here.
// Any thread; no state.

using StorageKey = std::array<uint8_t, 32>;

inline constexpr size_t kGcmNonceSize = 12;
inline constexpr size_t kGcmTagSize = 16;

Status randomBytes(std::span<uint8_t> out);

// Appends nonce, ciphertext and tag to `out` (which may already hold a header), drawing a
// fresh random nonce. `out` keeps its capacity between calls, so callers can reuse it.
Status sealAppending(const StorageKey& key, std::string_view plaintext, std::string_view aad,
                     std::vector<uint8_t>& out);

// Opens a combined form. Shorter than nonce + tag is incorrectParameterSize, a tag that
// does not verify is authenticationFailure (storage_error.h).
Result<std::string> openCombined(const StorageKey& key, std::span<const uint8_t> combined,
                                 std::string_view aad);

}  // namespace nimbra
