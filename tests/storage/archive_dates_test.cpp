#include <string>

#include <gtest/gtest.h>

#include "device/history_observation.h"
#include "storage/history_archive.h"
#include "support/result_assertions.h"

namespace nimbra {
namespace {

// Dates outside what Date holds (core/dates) used to be accepted as wrapped values.
TEST(ArchiveDates, ArchiveAndObservationDatesOutsideTheRangeFailTheDocument) {
  const std::string entry =
      R"({"k":{"directory":0,"format":5,"position":1,"payload":"AAE=","firstReadAt":)";
  EXPECT_OK(HistoryArchive::decode(entry + "1000}}"));
  EXPECT_FALSE(HistoryArchive::decode(entry + "5e11}}").ok());
  nlohmann::json observation = {{"position", 1},
                                {"candidateTime", "9999-12-31T23:59:59Z"},
                                {"tailEntries", 0},
                                {"kind", "use"}};
  EXPECT_THROW(historyObservationFromJson(observation, ObservationDates::iso8601),
               nlohmann::json::exception);
}

}  // namespace
}  // namespace nimbra
