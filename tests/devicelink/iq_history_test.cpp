#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "core/hex.h"
#include "sim/simulated_history.h"
#include "support/simulated_link.h"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using sim::HistoryFault;
using sim::HistoryFaultOn;

// The catalogue data for records (0: 10..13), (1: 5..5), (2: 0..1), (3: 0..0).
const char kCatalogHex[] = "0101000a00000d000000010500000500000002000000010000000300000000000000";
// A 6-byte entry: format byte 0x85, length 6, two bytes, inner CRC-16 44 63.
const char kSmallEntryHex[] = "8506aabb4463";

class IqHistory : public testing::SimulatedLinkTest {
 protected:
  void SetUp() override {
    SimulatedLinkTest::SetUp();
    device_ = openDevice();
    history().records = {{{0, 10, 13}, {1, 5, 5}, {2, 0, 1}, {3, 0, 0}}};
  }
  sim::SimulatedHistory& history() { return device_->history; }
  void spoil(HistoryFault fault, HistoryFaultOn on = HistoryFaultOn::everything) {
    history().fault = fault;
    history().faultOn = on;
  }
  int32_t readCatalog() { return iq_history_catalog(out_); }
  int32_t readEntry(uint32_t directory, uint32_t position) {
    return iq_history_entry(directory, position, out_);
  }
  std::string outHex(int32_t length) const {
    return hexString(std::span<const uint8_t>(out_, static_cast<std::size_t>(length)));
  }
  // Runs `read` and returns how much simulated time it waited.
  template <typename Read>
  std::chrono::nanoseconds waited(Read read, int32_t& result) {
    const auto start = bus_->now();
    result = read();
    return bus_->now() - start;
  }

  std::shared_ptr<sim::SimulatedDeviceState> device_;
  uint8_t out_[256] = {};
};

TEST_F(IqHistory, CatalogIsTheThirtyFourDataBytes) {
  ASSERT_EQ(readCatalog(), 34);
  EXPECT_EQ(outHex(34), kCatalogHex);
}

TEST_F(IqHistory, EntryIsCopiedWithItsInnerCrc) {
  history().entries[{0, 12}] = *parseHex(kSmallEntryHex);
  ASSERT_EQ(readEntry(0, 12), 6);
  EXPECT_EQ(outHex(6), kSmallEntryHex);
}

TEST_F(IqHistory, EntrySpanningSeveralReportsIsReassembled) {
  const auto entry = sim::makeHistoryEntry(0x83, 150, 7);  // a 163-byte message: three parts
  history().entries[{2, 0}] = entry;
  ASSERT_EQ(readEntry(2, 0), 150);
  EXPECT_EQ(std::vector<uint8_t>(out_, out_ + 150), entry);
}

TEST_F(IqHistory, LargestEntryFillsTheTwoHundredSixtyByteMessage) {
  history().entries[{0, 10}] = sim::makeHistoryEntry(0x81, 247);
  EXPECT_EQ(readEntry(0, 10), 247);

  spoil(HistoryFault::extraByte);  // the same message with one byte more: 261
  EXPECT_EQ(readEntry(0, 10), IQ_TIMEOUT);
}

TEST_F(IqHistory, DeviceFailureStatusGivesMinusFour) {
  spoil(HistoryFault::deviceFailure);
  EXPECT_EQ(readCatalog(), IQ_DEVICE_FAILED);
  EXPECT_EQ(readEntry(0, 12), IQ_DEVICE_FAILED);
}

TEST_F(IqHistory, UnannouncedPositionIsRefusedByTheDevice) {
  EXPECT_EQ(readEntry(1, 5), IQ_DEVICE_FAILED);
}

TEST_F(IqHistory, CatalogOfThirtyThreeBytesIsMalformed) {
  spoil(HistoryFault::shortCatalog);
  EXPECT_EQ(readCatalog(), IQ_MALFORMED);
}

TEST_F(IqHistory, WrongInnerCrcUnderARightOuterCrcIsMalformed) {
  spoil(HistoryFault::badInnerCrc);
  EXPECT_EQ(readEntry(0, 11), IQ_MALFORMED);
  EXPECT_EQ(readCatalog(), 34);  // the catalogue has no inner CRC
}

TEST_F(IqHistory, ArgumentsOutOfRangeAreRefusedWithoutSending) {
  EXPECT_EQ(readEntry(4, 0), IQ_BAD_ARGUMENT);
  EXPECT_EQ(readEntry(0, 0x1000000), IQ_BAD_ARGUMENT);
  EXPECT_EQ(iq_history_entry(0, 12, nullptr), IQ_BAD_ARGUMENT);
  EXPECT_EQ(device_->requestsReceived, 0);
  EXPECT_EQ(readEntry(3, 0xFFFFFF), IQ_DEVICE_FAILED);  // the largest values are sent
}

TEST_F(IqHistory, BrokenRepliesTimeOutAfterFourSeconds) {
  for (HistoryFault fault :
       {HistoryFault::drop, HistoryFault::brokenSequence, HistoryFault::tooManyParts}) {
    spoil(fault);
    int32_t result = 0;
    const auto time = waited([&] { return readEntry(0, 11); }, result);
    EXPECT_EQ(result, IQ_TIMEOUT) << static_cast<int>(fault);
    EXPECT_GE(time, 4000ms);
    EXPECT_LT(time, 4100ms);
  }
}

TEST_F(IqHistory, CompleteReplyEndsTheWaitAtOnce) {
  int32_t result = 0;
  EXPECT_EQ(waited([&] { return readEntry(0, 12); }, result), 0ns);
  EXPECT_GT(result, 0);
}

TEST_F(IqHistory, ReplyToAnEarlierRequestIsNotTaken) {
  device_->replyLatency = 5000ms;
  ASSERT_EQ(readCatalog(), IQ_TIMEOUT);
  bus_->advance(2000ms);  // the late catalogue is now queued

  device_->replyLatency = 0ms;
  history().records[0].end = 14;
  ASSERT_EQ(readCatalog(), 34);
  EXPECT_EQ(out_[6], 14);
}

TEST_F(IqHistory, OrdinaryExchangeWorksAfterAHistoryRequest) {
  spoil(HistoryFault::deviceFailure);
  ASSERT_EQ(readCatalog(), IQ_DEVICE_FAILED);
  const uint8_t request[] = {0x3f, 0x04, 0xc0, 0x00, 0x00, 0x00};
  uint8_t reply[64];
  EXPECT_EQ(iq_exchange(request, sizeof request, reply), 20);
}

TEST_F(IqHistory, StaleConnectionGivesMinusOneWithoutSending) {
  iq_cancel_io();
  EXPECT_EQ(readCatalog(), IQ_NO_DEVICE);
  EXPECT_EQ(readEntry(0, 12), IQ_NO_DEVICE);
  iq_close();
  EXPECT_EQ(readCatalog(), IQ_NO_DEVICE);
  EXPECT_EQ(device_->requestsReceived, 0);
}

TEST_F(IqHistory, DeviceVanishingDuringTheWaitGivesENODEV) {
  device_->vanishOnNextRequest = true;
  const int32_t result = readCatalog();
  ASSERT_TRUE(IQ_STATUS_IS_ERRNO(result));
  EXPECT_EQ(IQ_STATUS_ERRNO(result), ENODEV);
}

class IqHistoryRealTime : public testing::SimulatedLinkTest {
 protected:
  IqHistoryRealTime() : SimulatedLinkTest(sim::SimulatedTime::realClock) {}
};

TEST_F(IqHistoryRealTime, CancelFromAnotherThreadEndsTheWaitWithMinusOne) {
  auto device = openDevice();
  device->history.fault = HistoryFault::drop;
  std::thread canceller([] {
    std::this_thread::sleep_for(50ms);
    iq_cancel_io();
  });
  uint8_t out[34];
  EXPECT_EQ(iq_history_catalog(out), IQ_NO_DEVICE);
  canceller.join();
}

}  // namespace
}  // namespace nimbra
