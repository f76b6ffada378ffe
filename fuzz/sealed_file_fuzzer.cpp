// The sealed-file reader under a fixed key, on files it did not write.
//
// Input: byte 0 chooses the mode and the file's name (the additional authenticated data).
//  - raw mode (bit 0 clear): the rest is the whole file. A read succeeds only for a file
//    that starts with the magic and whose tag verifies; a failure is one of the three
//    format kinds.
//  - edit mode (bit 0 set): bytes 1-2 are an offset, byte 3 an XOR mask, the rest a
//    plaintext. The plaintext is sealed, one byte of the file is changed, and the read must
//    give the plaintext back only when nothing changed; a changed magic is a corrupt file,
//    any other changed byte an authentication failure.
// Every plaintext read is then written again with writeSealed and must read back the same.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "storage/aes_gcm.h"
#include "storage/storage_error.h"

namespace {

using nimbra::LocalStorage;
using nimbra::StorageErrorKind;
using nimbra::fuzz::check;

constexpr const char* kNames[] = {
    "device-setting-history.json.sealed", "outbox.json.sealed", "NimbraMaintenanceRecords.json",
    "history-0000000000000000000000000000000000000000000000000000000000000000.json", "20000.json"};

bool isFormatError(const nimbra::Error& error) {
  return nimbra::isStorageError(error, StorageErrorKind::fileReadCorruptFile) ||
         nimbra::isStorageError(error, StorageErrorKind::incorrectParameterSize) ||
         nimbra::isStorageError(error, StorageErrorKind::authenticationFailure);
}

std::string writeFile(const std::filesystem::path& file, const uint8_t* bytes, size_t size) {
  check(nimbra::writeFileAtomically(file, std::span(bytes, size)).ok(), "write the input file");
  return std::string(reinterpret_cast<const char*>(bytes), size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  auto& fixture = nimbra::fuzz::FixedKeyStorage::instance();
  LocalStorage storage = fixture.storage();
  const std::string name = kNames[(data[0] >> 1) % std::size(kNames)];
  const std::filesystem::path file = fixture.dataDirectory() / name;
  const bool edit = (data[0] & 1) != 0;

  nimbra::Result<std::string> read = std::string();
  if (!edit) {
    std::string bytes = writeFile(file, data + 1, size - 1);
    read = storage.readSealed(file);
    if (read) {
      check(bytes.size() == read->size() + 36, "plaintext is the file less magic, nonce and tag");
      check(bytes.compare(0, 8, LocalStorage::kMagic) == 0, "an opened file has the magic");
    } else {
      check(isFormatError(read.error()), "a damaged file fails with a format kind");
      bool magic = bytes.size() >= 8 && bytes.compare(0, 8, LocalStorage::kMagic) == 0;
      check(magic || nimbra::isStorageError(read.error(), StorageErrorKind::fileReadCorruptFile),
            "a file without the magic is a corrupt file");
    }
  } else {
    if (size < 4) return 0;
    const size_t offset = static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8;
    const uint8_t mask = data[3];
    std::string_view plaintext = nimbra::fuzz::textOf(data + 4, size - 4);
    // Filled by memcpy: clang 14 at -O1 with ASan miscompiles a vector<uint8_t> built from
    // this string_view's iterators in this file (it reports a length beyond max_size()).
    std::vector<uint8_t> sealed(LocalStorage::kMagic.size());
    std::memcpy(sealed.data(), LocalStorage::kMagic.data(), sealed.size());
    check(nimbra::sealAppending(nimbra::fuzz::kFixedKey, plaintext, name, sealed).ok(), "seal");
    const size_t at = offset % sealed.size();
    sealed[at] ^= mask;
    writeFile(file, sealed.data(), sealed.size());
    read = storage.readSealed(file);
    if (mask == 0) {
      check(read.ok() && *read == plaintext, "an unchanged file opens to its plaintext");
    } else if (at < 8) {
      check(
          !read.ok() && nimbra::isStorageError(read.error(), StorageErrorKind::fileReadCorruptFile),
          "a changed magic is a corrupt file");
    } else {
      check(!read.ok() &&
                nimbra::isStorageError(read.error(), StorageErrorKind::authenticationFailure),
            "a changed nonce, ciphertext or tag fails authentication");
    }
  }

  if (read) {
    check(storage.writeSealed(*read, file).ok(), "rewrite what was read");
    nimbra::Result<std::string> again = storage.readSealed(file);
    check(again.ok() && *again == *read, "a rewritten file reads back the same plaintext");
  }
  return 0;
}
