// The local settings' value readers, on plaintexts of a key's file that they did not write:
// a text (the installation identifier, the first-launch mark), a list of texts (the reported
// days) and a byte value (the maintenance records, Base64 in a JSON string).
//
// Input: byte 0 chooses the value type, the rest is the file's plaintext.
// Invariants: a decoded value encodes to a document that decodes to the same value; a byte
// value re-encodes to Base64 that decodes to the same bytes. (Base64 whose unused last bits
// are set is read like the canonical text, as most decoders do; it is not re-encoded to the
// same text, which nothing relies on.)

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "storage/local_settings.h"

namespace {

using nimbra::fuzz::check;

template <typename T>
void roundTrip(std::string_view plaintext) {
  auto decoded = nimbra::decodeJson<T>(plaintext);
  if (!decoded) return;
  auto encoded = nimbra::encodeJson(*decoded);
  check(encoded.ok(), "a decoded value encodes");
  auto again = nimbra::decodeJson<T>(*encoded);
  check(again.ok(), "an encoded value decodes");
  if constexpr (std::is_same_v<T, nimbra::StoredBytes>) {
    check(again->bytes == decoded->bytes, "an encoded byte value decodes to the same bytes");
  } else {
    check(*again == *decoded, "an encoded value decodes to the same value");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string_view plaintext = nimbra::fuzz::textOf(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      roundTrip<std::string>(plaintext);
      break;
    case 1:
      roundTrip<std::vector<std::string>>(plaintext);
      break;
    default:
      roundTrip<nimbra::StoredBytes>(plaintext);
      break;
  }
  return 0;
}
