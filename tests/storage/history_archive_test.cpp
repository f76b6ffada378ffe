#include "storage/history_archive.h"

#include <gtest/gtest.h>

#include "core/dates.h"
#include "core/sha256.h"
#include "storage/storage_fixture.h"

namespace nimbra::testing {
namespace {

using Records = HistoryArchive::Records;

HistoryPacket packet(int position, std::vector<uint8_t> payload, int directory = 0,
                     int format = 18) {
  return HistoryPacket{HistoryEntry{directory, position, static_cast<int>(payload.size()), format},
                       std::move(payload)};
}

HistoryObservation observation(int64_t position, double time = 800000000,
                               std::string kind = "use") {
  return HistoryObservation{position, dateFromSecondsSince2001(time), 1, std::nullopt,
                            std::move(kind)};
}

class HistoryArchiveTest : public StorageTest {
 protected:
  HistoryArchive archive() { return HistoryArchive(storage(), clock_); }
  fs::path file() { return dataDir() / ("history-" + id_ + ".json"); }

  Records stored() {
    auto plaintext = storage().readSealed(file());
    EXPECT_OK(plaintext);
    auto records = HistoryArchive::decode(plaintext.ok() ? *plaintext : "{}");
    EXPECT_OK(records);
    return records.ok() ? *records : Records();
  }
  std::optional<HistoryArchive::Revision> revision() {
    auto result = archive().revision(id_);
    EXPECT_OK(result);
    return result.ok() ? *result : std::nullopt;
  }
  std::vector<HistoryArchive::Pending> pending() {
    auto result = archive().pending(id_);
    EXPECT_OK(result);
    return result.ok() ? *result : std::vector<HistoryArchive::Pending>();
  }
  // Merges `packets` and returns the key of each, in order.
  std::vector<std::string> mergeAll(const std::vector<HistoryPacket>& packets) {
    EXPECT_OK(archive().merge(packets, id_));
    std::vector<std::string> keys;
    for (const auto& p : packets) keys.push_back(HistoryArchive::entryKey(p));
    return keys;
  }

  FakeClock clock_{dateFromSecondsSince2001(800000000)};
  std::string id_ = sha256Hex("IQOS-SERIAL-0001");
};

TEST_F(HistoryArchiveTest, EntryKeyIsPlacePlusPayloadHash) {
  EXPECT_EQ(HistoryArchive::entryKey(packet(17, {'a', 'b', 'c'})),
            "0:17:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(HistoryArchiveTest, FirstMergeOfNothingCreatesAnEmptyObjectAndTheSecondWritesNothing) {
  ASSERT_OK(archive().merge({}, id_));
  EXPECT_EQ(*storage().readSealed(file()), "{}");
  auto before = revision();
  ASSERT_TRUE(before);
  ASSERT_OK(archive().merge({}, id_));
  EXPECT_EQ(revision(), before);
}

TEST_F(HistoryArchiveTest, MergingKnownPacketsAgainAddsNothingAndKeepsTheirFirstReadTime) {
  mergeAll({packet(1, {1}), packet(2, {2})});
  auto afterFirst = revision();
  clock_.advance(std::chrono::hours(1));
  mergeAll({packet(1, {1}), packet(2, {2})});
  EXPECT_EQ(revision(), afterFirst);
  auto keys = mergeAll({packet(1, {1}), packet(3, {3})});
  Records records = stored();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(secondsSince2001(records[keys[0]].firstReadAt), 800000000);
  EXPECT_EQ(secondsSince2001(records[keys[1]].firstReadAt), 800003600);
}

TEST_F(HistoryArchiveTest, EmptyPayloadIsNeverStored) {
  mergeAll({packet(1, {})});
  EXPECT_TRUE(stored().empty());
  mergeAll({packet(1, {}), packet(2, {9})});
  EXPECT_EQ(stored().size(), 1u);
}

TEST_F(HistoryArchiveTest, PlaceAndBytesTogetherMakeARecordDistinct) {
  mergeAll({packet(1, {0xAA}), packet(1, {0xBB}), packet(2, {0xAA}), packet(1, {0xAA}, 1)});
  EXPECT_EQ(stored().size(), 4u);
}

TEST_F(HistoryArchiveTest, StoredRecordKeepsEveryFieldAndDatesAsNumbers) {
  auto keys = mergeAll({packet(5, {0x92, 0x00, 0x7F}, 2, 17)});
  auto plaintext = storage().readSealed(file());
  ASSERT_OK(plaintext);
  auto document = nlohmann::json::parse(*plaintext);
  const auto& entry = document.at(keys[0]);
  EXPECT_EQ(entry.at("directory"), 2);
  EXPECT_EQ(entry.at("format"), 17);
  EXPECT_EQ(entry.at("position"), 5);
  EXPECT_EQ(entry.at("payload"), "kgB/");
  EXPECT_EQ(entry.at("firstReadAt"), 800000000.0);
  EXPECT_FALSE(entry.contains("observation"));
}

TEST_F(HistoryArchiveTest, PendingOffersOnlyUnobservedRecordsOfDirectory0AndFormat18) {
  auto keys = mergeAll({packet(7, {1, 2, 3}), packet(7, {4}, 1), packet(8, {5}, 0, 17)});
  auto offered = pending();
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(offered[0].id, keys[0]);
  EXPECT_EQ(offered[0].packet, packet(7, {1, 2, 3}));

  ASSERT_OK(archive().attach({{keys[0], observation(7)}}, id_));
  EXPECT_TRUE(pending().empty());
}

TEST_F(HistoryArchiveTest, PendingOfAMissingArchiveIsEmpty) { EXPECT_TRUE(pending().empty()); }

TEST_F(HistoryArchiveTest, AttachingNothingLeavesAMissingArchiveMissing) {
  ASSERT_OK(archive().attach({}, id_));
  EXPECT_FALSE(fs::exists(file()));
}

TEST_F(HistoryArchiveTest, AttachingToAMissingArchiveFailsAsNoSuchFile) {
  EXPECT_STORAGE_ERROR(archive().attach({{"0:1:00", observation(1)}}, id_), fileReadNoSuchFile);
  EXPECT_FALSE(fs::exists(file()));
}

TEST_F(HistoryArchiveTest, OneUnknownKeyStoresNoneOfTheObservations) {
  auto keys = mergeAll({packet(1, {1}), packet(2, {2})});
  std::string before = readAll(file());
  EXPECT_STORAGE_ERROR(
      archive().attach(
          {{keys[0], observation(1)}, {keys[1], observation(2)}, {"0:3:ffff", observation(3)}},
          id_),
      fileReadCorruptFile);
  EXPECT_EQ(readAll(file()), before);
  EXPECT_EQ(pending().size(), 2u);
}

TEST_F(HistoryArchiveTest, ObservationForAnotherPositionIsRefused) {
  auto keys = mergeAll({packet(1, {1})});
  EXPECT_STORAGE_ERROR(archive().attach({{keys[0], observation(2)}}, id_), fileReadCorruptFile);
  EXPECT_EQ(pending().size(), 1u);
}

TEST_F(HistoryArchiveTest, FirstObservationStaysAndTheFileIsStillRewritten) {
  auto keys = mergeAll({packet(1, {1})});
  ASSERT_OK(archive().attach({{keys[0], observation(1, 800000000, "first")}}, id_));
  auto before = revision();
  ASSERT_OK(archive().attach({{keys[0], observation(1, 800000100, "second")}}, id_));
  EXPECT_NE(revision(), before);
  EXPECT_EQ(stored()[keys[0]].observation->kind, "first");
}

TEST_F(HistoryArchiveTest, ObservationsAreAbsentWithoutFileAndEmptyWithoutObservations) {
  auto none = archive().observations(id_);
  ASSERT_OK(none);
  EXPECT_FALSE(none->has_value());
  mergeAll({packet(1, {1})});
  auto empty = archive().observations(id_);
  ASSERT_OK(empty);
  ASSERT_TRUE(empty->has_value());
  EXPECT_TRUE((*empty)->empty());
}

TEST_F(HistoryArchiveTest, ObservationsComeNewestFirstWithLargerPositionOnEqualTimes) {
  auto keys = mergeAll({packet(1, {1}), packet(2, {2}), packet(3, {3}), packet(4, {4})});
  HistoryObservation withEvent = observation(4, 800000050);
  withEvent.eventKind = "heat";
  ASSERT_OK(archive().attach({{keys[0], observation(1, 800000100)},
                              {keys[1], observation(2, 800000000)},
                              {keys[2], observation(3, 800000100)},
                              {keys[3], withEvent}},
                             id_));
  auto listed = archive().observations(id_);
  ASSERT_OK(listed);
  std::vector<int64_t> positions;
  for (const auto& o : **listed) positions.push_back(o.position);
  EXPECT_EQ(positions, (std::vector<int64_t>{3, 1, 4, 2}));
  EXPECT_EQ((**listed)[2], withEvent);
}

TEST_F(HistoryArchiveTest, RevisionIsAbsentWithoutFileAndChangesWhenRecordsAreAdded) {
  EXPECT_FALSE(revision());
  mergeAll({packet(1, {1})});
  auto before = revision();
  ASSERT_TRUE(before);
  mergeAll({packet(2, {2})});
  EXPECT_NE(revision(), before);
}

TEST_F(HistoryArchiveTest, UnreadableArchiveIsNeverRewritten) {
  mergeAll({packet(1, {1})});
  std::string bytes = readAll(file());
  bytes.back() ^= 0x01;
  writeAll(file(), bytes);
  EXPECT_FALSE(archive().merge({packet(2, {2})}, id_).ok());
  EXPECT_FALSE(archive().pending(id_).ok());
  EXPECT_EQ(readAll(file()), bytes);
}

TEST_F(HistoryArchiveTest, ArchiveIdThatIsNotAHashIsRefused) {
  for (std::string id :
       {std::string("../../etc/passwd"), std::string(), id_.substr(1), std::string(64, 'A')}) {
    EXPECT_FALSE(archive().merge({packet(1, {1})}, id).ok()) << id;
    EXPECT_FALSE(archive().revision(id).ok()) << id;
  }
  EXPECT_FALSE(fs::exists(dataDir()) && !fs::is_empty(dataDir()));
}

TEST(HistoryArchiveDocument, RecordWithMissingOrMistypedFieldFailsDecoding) {
  for (std::string body :
       {R"({"k":{"directory":0,"format":18,"position":1,"payload":"AQ=="}})",
        R"({"k":{"directory":0,"format":18,"position":1,"payload":"A","firstReadAt":1}})",
        R"({"k":{"directory":"0","format":18,"position":1,"payload":"AQ==","firstReadAt":1}})",
        R"({"k":{"directory":0,"format":18,"position":1,"payload":"AQ==","firstReadAt":1e300}})",
        R"([])"}) {
    EXPECT_STORAGE_ERROR(HistoryArchive::decode(body), decodingFailed);
  }
}

// Forms the reader must take exactly as the earlier tree reader did, and which random inputs
// hardly produce: the last of repeated keys counts at every level, whole numbers in float form,
// and the int and date limits.
TEST(HistoryArchiveDocument, LastOfRepeatedKeysCountsAndWholeFloatsAreIntegers) {
  constexpr char kEntry[] = R"({"directory":0,"format":18,"position":1,"payload":"AQ==",)"
                            R"("firstReadAt":1})";
  std::string body =
      std::string(R"({"b":[],"a":{"directory":"x","directory":2.0,"format":1e1,)") +
      R"("position":-2147483648,"payload":"AQ==","firstReadAt":5,"x":[{"y":1}],)" +
      R"("observation":{"kind":1},"observation":{"position":3.0,"tailEntries":0,)" +
      R"("candidateTime":-1.5,"eventKind":"e","eventKind":null,"kind":"use"}},"b":)" + kEntry + "}";
  auto records = HistoryArchive::decode(body);
  ASSERT_OK(records);
  ASSERT_EQ(records->size(), 2u);
  const HistoryArchive::Entry& a = records->at("a");
  EXPECT_EQ(a.directory, 2);
  EXPECT_EQ(a.format, 10);
  EXPECT_EQ(a.position, -2147483648);
  EXPECT_EQ(secondsSince2001(a.firstReadAt), 5);
  ASSERT_TRUE(a.observation);
  EXPECT_EQ(a.observation->position, 3);
  EXPECT_EQ(secondsSince2001(a.observation->candidateTime), -1.5);
  EXPECT_FALSE(a.observation->eventKind);
  EXPECT_EQ(records->at("b").payload, std::vector<uint8_t>{1});

  // A valid record replaced by a broken one fails the document.
  EXPECT_STORAGE_ERROR(HistoryArchive::decode(std::string(R"({"b":)") + kEntry + R"(,"b":1})"),
                       decodingFailed);
}

TEST(HistoryArchiveDocument, OutOfRangeNumbersIsoDatesAndTrailingBytesFailDecoding) {
  auto entry = [](std::string field) {
    return R"({"k":{"directory":0,"format":18,"position":1,"payload":"AQ==","firstReadAt":1,)" +
           field + "}}";
  };
  for (std::string body :
       {entry(R"("x":1e400)"), entry(R"("x":"\uDC00")"), entry(R"("position":2147483648)"),
        entry(R"("format":1.5)"),
        entry(R"("observation":{"position":9223372036854775808,"candidateTime":1,)"
              R"("tailEntries":0,"kind":"use"})"),
        entry(R"("observation":{"position":1,"candidateTime":"2024-05-01T08:30:00Z",)"
              R"("tailEntries":0,"kind":"use"})"),
        entry(R"("observation":{"position":1,"candidateTime":null,"tailEntries":0,"kind":"u"})"),
        entry(R"("observation":{"position":1,"candidateTime":1,"tailEntries":0,"kind":null})"),
        std::string("{}\0{}", 5), std::string("{} x")}) {
    SCOPED_TRACE(body);
    EXPECT_STORAGE_ERROR(HistoryArchive::decode(body), decodingFailed);
  }
  // Finite however large their digits look, as the tree reader took them.
  EXPECT_OK(HistoryArchive::decode(entry(R"("x":0e400)")));
  EXPECT_OK(HistoryArchive::decode(entry(R"("x":)" + std::string(400, '1') + "e-400")));
}

}  // namespace
}  // namespace nimbra::testing
