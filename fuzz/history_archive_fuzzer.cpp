// The history archive's document reader, on plaintexts it did not write (a damaged file, or
// one written by another version). A decoded archive must encode to a document that decodes
// to the same records, byte for byte stable from then on, and the records must keep the
// archive's own limits.
//
// Input: the archive file's plaintext, as is.

#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "storage/history_archive.h"

using nimbra::HistoryArchive;
using nimbra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto decoded = HistoryArchive::decode(nimbra::fuzz::textOf(data, size));
  if (!decoded) return 0;
  for (const auto& [key, entry] : *decoded) {
    (void)key;
    // Base64 turns 3 bytes into 4 characters, so a payload can never outgrow its text.
    check(entry.payload.size() <= size, "a payload is no larger than the document");
  }
  std::string encoded = HistoryArchive::encode(*decoded);
  auto again = HistoryArchive::decode(encoded);
  check(again.ok(), "an encoded archive decodes");
  check(*again == *decoded, "an encoded archive decodes to the same records");
  check(HistoryArchive::encode(*again) == encoded, "encoding is stable after one round");
  return 0;
}
