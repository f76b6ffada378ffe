// Inputs the fuzz targets found, kept as tests so the faults stay fixed.

#include <gtest/gtest.h>

#include "storage/history_archive.h"
#include "support/result_assertions.h"

namespace nimbra::testing {
namespace {

// history_archive_fuzzer: a key the reader accepts (here with an escaped quote, as a file
// from elsewhere may hold) was written back unescaped, so the next merge left an archive
// that no longer parsed and every record in it was lost.
TEST(FuzzRegression, ArchiveKeysThatNeedEscapingSurviveARewrite) {
  for (
      const char* text :
      {R"({"a\"b":{"directory":0,"format":18,"position":1,"payload":"AQ==","firstReadAt":1}})",
       R"({"a\\b\n\u0001":{"directory":0,"format":18,"position":1,"payload":"AQ==","firstReadAt":1}})"}) {
    auto records = HistoryArchive::decode(text);
    ASSERT_OK(records) << text;
    auto again = HistoryArchive::decode(HistoryArchive::encode(*records));
    ASSERT_OK(again) << text;
    EXPECT_EQ(*again, *records);
  }
}

}  // namespace
}  // namespace nimbra::testing
