#include <gtest/gtest.h>

#include "core/dates.h"
#include "core/sha256.h"
#include "storage/history_archive.h"
#include "storage/storage_fixture.h"

// One archive handle kept across operations, as the controller keeps it: what it remembers
// of the file must never hide a change made through another handle or on disk.

namespace nimbra::testing {
namespace {

HistoryPacket packet(int position, uint8_t fill) {
  return HistoryPacket{HistoryEntry{0, position, 4, 18}, std::vector<uint8_t>(4, fill)};
}

class HistoryArchiveCacheTest : public StorageTest {
 protected:
  HistoryArchive archive() { return HistoryArchive(storage(), clock_); }
  std::filesystem::path file() { return dataDir() / HistoryArchive::fileName(id_); }

  FakeClock clock_{dateFromSecondsSince2001(800000000)};
  std::string id_ = sha256Hex("IQOS-SERIAL-0001");
};

TEST_F(HistoryArchiveCacheTest, KeptHandleSeesOtherWritesRemovalAndDamage) {
  HistoryArchive kept = archive();
  ASSERT_TRUE(kept.merge({packet(1, 1), packet(2, 2)}, id_));
  ASSERT_EQ(kept.pending(id_)->size(), 2u);

  HistoryObservation seen{1, clock_.now(), 0, std::nullopt, "use"};
  ASSERT_TRUE(archive().attach({{HistoryArchive::entryKey(packet(1, 1)), seen}}, id_));
  EXPECT_EQ(kept.pending(id_)->size(), 1u) << "a write through another handle is seen";
  EXPECT_EQ(kept.observations(id_)->value().size(), 1u);

  ASSERT_TRUE(kept.merge({packet(3, 3)}, id_));
  EXPECT_EQ(archive().pending(id_)->size(), 2u) << "its own write reached the file";

  std::string bytes = readAll(file());
  bytes.back() ^= 0x01;
  writeAll(file(), bytes);
  EXPECT_FALSE(kept.observations(id_)) << "damage on disk is not hidden by the memory";

  std::filesystem::remove(file());
  EXPECT_FALSE(kept.observations(id_)->has_value());
  EXPECT_TRUE(kept.pending(id_)->empty());
}

}  // namespace
}  // namespace nimbra::testing
