#include "storage/maintenance_records.h"

#include <string>

#include <gtest/gtest.h>

#include "storage_fixture.h"

namespace nimbra::testing {
namespace {

class MaintenanceRecordsTest : public StorageTest {
 protected:
  LocalSettings settings() { return LocalSettings(storage()); }
  void storeBytes(const std::string& text) {
    settings().setBytes(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                        kMaintenanceRecordsKey);
  }
  std::string storedBytes() {
    auto bytes = settings().bytesValue(kMaintenanceRecordsKey);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("(none)");
  }
};

// A list whose inner JSON does not decode reads as empty, but used to be replaced by the next
// record; like every other store, an unreadable list is now left as it is.
TEST_F(MaintenanceRecordsTest, UnreadableListIsNeverOverwritten) {
  const std::string damaged = R"([{"action":"reset","startedAt":10},{"action":"calibrate"}])";
  storeBytes(damaged);
  std::vector<MaintenanceRecord> list = loadMaintenanceRecords(settings());
  EXPECT_TRUE(list.empty());
  addMaintenanceRecord(list, {MaintenanceRecord::Action::reset, 20}, settings());
  EXPECT_EQ(storedBytes(), damaged);
  EXPECT_EQ(list.size(), 1u);  // the caller's list still has it for this run
}

}  // namespace
}  // namespace nimbra::testing
