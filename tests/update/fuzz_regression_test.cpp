// Inputs the updater's fuzz targets found, kept as regression tests.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/hex.h"
#include "support/temporary_folder.h"
#include "update/transport.h"
#include "update/zip_extract.h"

namespace nimbra::test {
namespace {

namespace fs = std::filesystem;

// Entries whose headers declare far more than they carry (here 2.3 GB behind a few bytes):
// libarchive extends such a file to its declared size when the entry is finished, so the
// cap must count what lands on disk, not the bytes that arrived.
constexpr char kDeclaresGigabytes[] =
    "504b0304140000000800000021000000000002000000000000000b0000006e696d6272612e6170702f030050"
    "4b030414000000080000002100000000000200000000000000140000006e696d9f8d612e6170702f436f6e74"
    "656e74732f0300504b0304140000000800000021008316dc8c000000000000ed895f00000003000000010000"
    "001a0000006e696d6272612e61696d6272612e6170702f436f6e74656e74732f62696e2f7375ab0000504b01"
    "021403140000000800000021000000000002000000000000000b0000000000000000001000ed41000000006e"
    "696d6272612e6170702f504b01021403140000000800000021006e696d6272612e6170702f504b0102140314"
    "0000000800000021000000000002000000000000001400000070702f436f6e74656e74732f62696e2f7375ab"
    "0000504b01021403140000000800000021000000000002000000000000000b0000000000000000001000ed41"
    "000000006e696d6272612e61706c2f504b01021403140000000800000021006e696d6272612e6170702f504b"
    "0102140314000000080000002100000000000200000000000000140000000000000000001000ed412b000000"
    "6e696d6272612e6170702f436f6e74656e74732f504b01021403140000000800000021008316dc8c03000000"
    "010000001a0000000000000000000000ed895f0000006e696d6272612e6170702f436f6e74656e74732f62";

TEST(ZipExtractRegression, AnEntryDeclaringMoreThanTheCapIsRefused) {
  testing::TemporaryFolder folder("nimbra-zip-regression");
  const fs::path& root = folder.path();
  fs::create_directories(root / "out");
  std::optional<std::vector<uint8_t>> bytes = parseHex(kDeclaresGigabytes);
  ASSERT_TRUE(bytes);
  fs::path zip = root / "package.zip";
  std::ofstream(zip, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes->data()),
             static_cast<std::streamsize>(bytes->size()));

  ZipExtract::Limits limits{.maxBytes = 4u << 20, .maxEntries = 256};
  EXPECT_FALSE(ZipExtract::extract(zip, root / "out", limits).ok());
  uintmax_t largest = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / "out")) {
    if (entry.is_regular_file()) largest = std::max(largest, entry.file_size());
  }
  EXPECT_LE(largest, limits.maxBytes);
}

// A download address in another spelling of the update server's host is fetched in the
// server's own spelling, and accepting it again changes nothing.
TEST(DownloadUrlRegression, TheAcceptedAddressIsSpelledAsTheUpdateServer) {
  const std::string base = "https://updates.nimbra.test";
  std::optional<std::string> accepted = UpdateTransport::acceptableDownloadUrl(
      "https://UPDATES.nimbra.test:443/v1/app/updates/packages/..;nimbra-101.zip?x=1", base);
  ASSERT_TRUE(accepted);
  EXPECT_TRUE(accepted->starts_with(base + "/v1/app/updates/packages/")) << *accepted;
  EXPECT_EQ(UpdateTransport::acceptableDownloadUrl(*accepted, base), accepted);
}

}  // namespace
}  // namespace nimbra::test
