#include <sqlite3.h>

#include "sample_fixture.h"

namespace nimbra::testing {
namespace {

class LegacyImportTest : public SampleStoreTest {
 protected:
  struct Row {
    std::string brand = "iqos", model = "m0033", transport = "usb-hid", hardware = "HW-1";
    std::optional<std::string> adapter = "iqos.iluma-one.v1";
    double observedAt = 0;
    std::string payload;
    int version = 1;
  };

  void SetUp() override {
    SampleStoreTest::SetUp();
    fs::create_directories(dataDir());
  }
  fs::path database() { return dataDir() / "devices.sqlite3"; }
  fs::path legacyDayFile(int64_t day, const std::string& hardware = "HW-1") {
    return dataDir() / "DeviceSamples" / ("iqos-m0033-usb-hid-" + hardware) /
           (std::to_string(day) + ".json");
  }
  static std::string payloadAt(double observedAt) {
    return nlohmann::json(sampleAt(observedAt)).dump();
  }

  void writeDatabase(const std::vector<Row>& rows) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(database().c_str(), &db), SQLITE_OK);
    exec(db,
         "CREATE TABLE devices(id INTEGER PRIMARY KEY, brand TEXT, model TEXT, transport TEXT,"
         " hardware_id TEXT, adapter TEXT);"
         "CREATE TABLE observations(device_id INTEGER, observed_at REAL,"
         " payload_version INTEGER, payload_json TEXT);");
    sqlite3_stmt* device = nullptr;
    sqlite3_stmt* observation = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO devices VALUES(?,?,?,?,?,?)", -1, &device, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO observations VALUES(?,?,?,?)", -1, &observation, nullptr);
    int id = 0;
    for (const Row& row : rows) {
      ++id;
      sqlite3_bind_int(device, 1, id);
      sqlite3_bind_text(device, 2, row.brand.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(device, 3, row.model.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(device, 4, row.transport.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(device, 5, row.hardware.c_str(), -1, SQLITE_TRANSIENT);
      if (row.adapter) {
        sqlite3_bind_text(device, 6, row.adapter->c_str(), -1, SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_null(device, 6);
      }
      sqlite3_step(device);
      sqlite3_reset(device);
      sqlite3_bind_int(observation, 1, id);
      sqlite3_bind_double(observation, 2, row.observedAt);
      sqlite3_bind_int(observation, 3, row.version);
      sqlite3_bind_text(observation, 4, row.payload.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(observation);
      sqlite3_reset(observation);
    }
    sqlite3_finalize(device);
    sqlite3_finalize(observation);
    sqlite3_close(db);
  }
  static void exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &message), SQLITE_OK) << message;
  }
  Row row(double observedAt, double orderKey) {
    Row r;
    r.observedAt = orderKey;
    r.payload = payloadAt(observedAt);
    return r;
  }
};

TEST_F(LegacyImportTest, OneDayBecomesOneSortedFileAndTheDatabaseIsDeleted) {
  double base = 19000 * kDay;
  // The query orders by the database's own column; the day file is sorted by observedAt.
  Row ignored = row(base + 40, 5);
  ignored.version = 2;
  writeDatabase(
      {row(base + 30, 1), row(base + 10, 2), row(base + 20, 3), row(base + 10, 4), ignored});
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    writeAll(dataDir() / (std::string("devices.sqlite3") + suffix), "");
  }
  openStore();
  EXPECT_EQ(timesOf(samplesIn(legacyDayFile(19000))),
            (std::vector<double>{base + 10, base + 20, base + 30}));
  EXPECT_EQ(std::distance(fs::directory_iterator(legacyDayFile(19000).parent_path()), {}), 1);
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    EXPECT_FALSE(fs::exists(dataDir() / (std::string("devices.sqlite3") + suffix))) << suffix;
  }
}

TEST_F(LegacyImportTest, SamplesAlreadyInTheDayFileAreNotAddedAgain) {
  double base = 19000 * kDay;
  fs::create_directories(legacyDayFile(19000).parent_path());
  DeviceSample existing = sampleAt(base + 10, 11);
  ASSERT_OK(
      storage().writeSealed(nlohmann::json(std::vector{existing}).dump(), legacyDayFile(19000)));
  Row other = row(base + 5, 3);
  other.hardware = "HW-2";
  writeDatabase({row(base + 10, 1), row(base + 20, 2), other});
  openStore();
  std::vector<DeviceSample> stored = samplesIn(legacyDayFile(19000));
  EXPECT_EQ(timesOf(stored), (std::vector<double>{base + 10, base + 20}));
  EXPECT_EQ(stored[0].battery, 11);  // the file's own sample wins
  EXPECT_EQ(timesOf(samplesIn(legacyDayFile(19000, "HW-2"))), std::vector<double>{base + 5});
}

TEST_F(LegacyImportTest, BadRowsFailTheOpenAndKeepTheDatabase) {
  auto nullAdapter = [&] {
    Row r = row(5, 1);
    r.adapter.reset();
    return r;
  };
  auto withBrand = [&](const char* brand) {
    Row r = row(5, 1);
    r.brand = brand;
    return r;
  };
  auto withPayload = [&](const char* payload) {
    Row r = row(5, 1);
    r.payload = payload;
    return r;
  };
  std::vector<Row> cases = {nullAdapter(),
                            withBrand("io s"),
                            withBrand("io/s"),
                            withBrand(""),
                            withPayload(R"({"settings":{}})"),
                            withPayload(R"({"observedAt":5})"),
                            withPayload("not json")};
  for (const Row& bad : cases) {
    fs::remove(database());
    writeDatabase({row(7, 0), bad});
    auto store = DeviceStore::open(storage(), clock_);
    EXPECT_FALSE(store.ok()) << bad.brand << " " << bad.payload;
    EXPECT_TRUE(fs::exists(database()));
  }
  EXPECT_FALSE(fs::exists(dataDir() / "DeviceSamples" / "io s-m0033-usb-hid-HW-1"));
}

TEST_F(LegacyImportTest, UnreadableDatabaseFailsTheOpen) {
  writeAll(database(), "this is not an SQLite database, only some text of decent length....");
  auto store = DeviceStore::open(storage(), clock_);
  ASSERT_FALSE(store.ok());
  EXPECT_TRUE(isStorageError(store.error(), StorageErrorKind::fileReadCorruptFile) ||
              isStorageError(store.error(), StorageErrorKind::fileReadUnknown))
      << store.error().message;
  EXPECT_TRUE(fs::exists(database()));
}

}  // namespace
}  // namespace nimbra::testing
