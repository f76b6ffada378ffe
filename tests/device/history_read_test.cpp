#include "device/history_read.h"

#include <gtest/gtest.h>

#include "core/hex.h"
#include "device/exchange.h"
#include "sim/simulated_history.h"
#include "support/simulated_link.h"

namespace nimbra {
namespace {

using sim::HistoryFault;
using sim::HistoryFaultOn;

// The catalogue announcing (0: 10..13), (1: 5..5), (2: 0..1), (3: 0..0).
const char kCatalogHex[] = "0101000a00000d000000010500000500000002000000010000000300000000000000";
// A 6-byte entry with format byte 0x85 and its inner CRC-16.
const char kEntryHex[] = "8506aabb4463";

class HistoryRead : public testing::SimulatedLinkTest {
 protected:
  void SetUp() override {
    SimulatedLinkTest::SetUp();
    device_ = plugIn();
    history().records = {{{0, 10, 13}, {1, 5, 5}, {2, 0, 1}, {3, 0, 0}}};
  }
  sim::SimulatedHistory& history() { return device_->history; }

  HistoryOutcome read(std::optional<std::vector<uint8_t>> previous = std::nullopt) {
    return readHistoryFromDevice(device_->serial, iq_connection_epoch(), previous);
  }
  HistorySnapshot snapshotOf(const HistoryOutcome& outcome) {
    if (const auto* error = std::get_if<Error>(&outcome)) ADD_FAILURE() << error->message;
    const auto* snapshot = std::get_if<HistorySnapshot>(&outcome);
    return snapshot ? *snapshot : HistorySnapshot{};
  }
  std::string messageOf(const HistoryOutcome& outcome) {
    const auto* error = std::get_if<Error>(&outcome);
    if (error == nullptr) return "(no error)";
    EXPECT_TRUE(error->is(kIqosDomain, kIqosMessageCode));
    return error->message;
  }
  static std::vector<std::pair<int, int>> addresses(const HistorySnapshot& snapshot) {
    std::vector<std::pair<int, int>> list;
    for (const auto& packet : snapshot.packets) {
      list.emplace_back(packet.entry.directory, packet.entry.position);
    }
    return list;
  }
  // True when no device is left open.
  static bool deviceClosed() {
    const uint8_t request[] = {0x3f, 0x04, 0xc0, 0x00, 0x00, 0x00};
    uint8_t reply[64];
    return iq_exchange(request, sizeof request, reply) == IQ_NO_DEVICE;
  }

  std::shared_ptr<sim::SimulatedDeviceState> device_;
};

TEST_F(HistoryRead, ReadsEveryAnnouncedEntryNewestPositionFirst) {
  const HistorySnapshot snapshot = snapshotOf(read());
  EXPECT_EQ(addresses(snapshot),
            (std::vector<std::pair<int, int>>{{0, 12}, {0, 11}, {0, 10}, {2, 0}}));
  EXPECT_EQ(snapshot.archiveCount, 4);
  EXPECT_EQ(snapshot.directoryCount, 3);
  EXPECT_EQ(hexString(snapshot.catalog), kCatalogHex);
  EXPECT_EQ(history().catalogRequests, 2);
  EXPECT_TRUE(deviceClosed());
}

TEST_F(HistoryRead, DirectoriesAreReadInNumberOrderWhateverTheRecordOrder) {
  history().records = {{{3, 0, 1}, {2, 4, 5}, {0, 0, 2}, {1, 0, 0}}};
  const HistorySnapshot snapshot = snapshotOf(read());
  EXPECT_EQ(addresses(snapshot),
            (std::vector<std::pair<int, int>>{{0, 1}, {0, 0}, {2, 4}, {3, 0}}));
  EXPECT_EQ(snapshot.directoryCount, 2);
}

TEST_F(HistoryRead, PacketKeepsTheEntryBytesAndItsFormat) {
  history().entries[{0, 12}] = *parseHex(kEntryHex);
  const HistorySnapshot snapshot = snapshotOf(read());
  ASSERT_FALSE(snapshot.packets.empty());
  const HistoryPacket& packet = snapshot.packets.front();
  EXPECT_EQ(packet.entry, (HistoryEntry{0, 12, 6, 5}));
  EXPECT_EQ(hexString(packet.payload), kEntryHex);
}

TEST_F(HistoryRead, EmptyHistoryGivesAnEmptySnapshot) {
  history().records = {{{0, 4, 4}, {1, 0, 0}, {2, 9, 9}, {3, 0, 0}}};
  const HistorySnapshot snapshot = snapshotOf(read());
  EXPECT_TRUE(snapshot.packets.empty());
  EXPECT_EQ(snapshot.directoryCount, 0);
  EXPECT_EQ(history().entryRequests, 0);
}

TEST_F(HistoryRead, UnchangedCatalogCostsOneRequest) {
  const HistoryOutcome outcome = read(*parseHex(kCatalogHex));
  EXPECT_TRUE(std::holds_alternative<HistoryUnchanged>(outcome));
  EXPECT_EQ(device_->requestsReceived, 1);
  EXPECT_TRUE(deviceClosed());
}

TEST_F(HistoryRead, DifferentPreviousCatalogMeansAFullRead) {
  auto previous = *parseHex(kCatalogHex);
  previous[6] = 12;  // directory 0 ended one earlier
  EXPECT_EQ(snapshotOf(read(previous)).archiveCount, 4);
}

TEST_F(HistoryRead, DirectoryNumbersMustBeZeroToThreeOnce) {
  history().records[3].directory = 2;
  EXPECT_EQ(messageOf(read()), "设备历史目录格式暂不支持");
  history().records[3].directory = 4;
  EXPECT_EQ(messageOf(read()), "设备历史目录格式暂不支持");
  EXPECT_EQ(history().entryRequests, 0);
}

TEST_F(HistoryRead, DirectoryEndingBeforeItStartsIsRefused) {
  history().records[1] = {1, 7, 6};
  EXPECT_EQ(messageOf(read()), "设备历史目录位置不一致");
  EXPECT_EQ(history().entryRequests, 0);
}

// A catalogue may announce at most kHistoryEntryLimit entries in all; a larger one (four
// directories of 0 .. 0xFFFFFF used to reserve gigabytes and end in std::bad_alloc) is
// refused before any entry is requested.
TEST_F(HistoryRead, CatalogAnnouncingMoreThanTheLimitIsRefusedUpFront) {
  history().records = {{{0, 0, 0xFFFFFF}, {1, 0, 0xFFFFFF}, {2, 0, 0xFFFFFF}, {3, 0, 0xFFFFFF}}};
  EXPECT_EQ(messageOf(read()), "设备历史目录格式暂不支持");
  const uint32_t half = kHistoryEntryLimit / 2;
  history().records = {{{0, 100, 100 + half}, {1, 0, 0}, {2, 7, 7 + half + 1}, {3, 0, 0}}};
  EXPECT_EQ(messageOf(read()), "设备历史目录格式暂不支持");
  EXPECT_EQ(history().entryRequests, 0);
  EXPECT_TRUE(deviceClosed());
}

TEST_F(HistoryRead, CatalogChangingDuringTheReadGivesNoSnapshot) {
  auto moved = history().records;
  moved[2].end = 2;
  history().recordsAfterNextCatalog = moved;
  EXPECT_EQ(messageOf(read()), "读取期间历史目录发生变化，请重试");
  EXPECT_TRUE(deviceClosed());
}

TEST_F(HistoryRead, CatalogFailuresOfAnyKindGiveTheCatalogMessage) {
  for (HistoryFault fault : {HistoryFault::deviceFailure, HistoryFault::shortCatalog}) {
    history().fault = fault;
    EXPECT_EQ(messageOf(read()), "设备历史目录读取失败");
  }
}

TEST_F(HistoryRead, FailedEntryNamesItsDirectoryAndPositionAndEndsTheRead) {
  history().fault = HistoryFault::badInnerCrc;
  history().faultOn = HistoryFaultOn::entries;
  EXPECT_EQ(messageOf(read()), "目录 0 位置 12 读取失败，请重试");
  EXPECT_EQ(history().entryRequests, 1);
  EXPECT_EQ(history().catalogRequests, 1);
  EXPECT_TRUE(deviceClosed());
}

TEST_F(HistoryRead, OpenFailureIsReported) {
  EXPECT_EQ(messageOf(readHistoryFromDevice("OTHER", iq_connection_epoch(), std::nullopt)),
            "无法打开设备");
  const uint32_t staleEpoch = iq_connection_epoch();
  iq_cancel_io();
  EXPECT_EQ(messageOf(readHistoryFromDevice(device_->serial, staleEpoch, std::nullopt)),
            "无法打开设备");
  EXPECT_EQ(device_->requestsReceived, 0);
}

}  // namespace
}  // namespace nimbra
