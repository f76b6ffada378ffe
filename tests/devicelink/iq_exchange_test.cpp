#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "devicelink/iq_module.h"
#include "support/simulated_link.h"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using sim::ReplyFault;

// Command 0 on hop 0, no payload.
const std::vector<uint8_t> kSoftwareRequest{0x3f, 0x04, 0xc0, 0x00, 0x00, 0x00};
// Command 129 on hop 1, no payload.
const std::vector<uint8_t> kHop1StatusRequest{0x3f, 0x04, 0xc9, 0x01, 0x20, 0xf5};
// Command 19 on hop 0 with payload 00 FF FF 00 and the flag set.
const std::vector<uint8_t> kFlaggedRequest{0x3f, 0x08, 0xc0, 0x47, 0x04,
                                           0x00, 0xff, 0xff, 0x00, 0xda};

class IqExchange : public testing::SimulatedLinkTest {
 protected:
  int32_t send(const std::vector<uint8_t>& request) {
    return iq_exchange(request.data(), static_cast<uint32_t>(request.size()), reply_);
  }
  std::vector<uint8_t> replyPayload(int32_t length) const {
    return {reply_ + 5, reply_ + length - 1};
  }
  uint8_t reply_[64] = {};
};

TEST_F(IqExchange, RequestLengthMustBeSixToSixtyFourBytes) {
  auto device = openDevice();
  std::vector<uint8_t> longRequest(65, 0);
  std::copy(kSoftwareRequest.begin(), kSoftwareRequest.end(), longRequest.begin());

  EXPECT_EQ(iq_exchange(kSoftwareRequest.data(), 5, reply_), IQ_BAD_ARGUMENT);
  EXPECT_EQ(iq_exchange(longRequest.data(), 65, reply_), IQ_BAD_ARGUMENT);
  EXPECT_EQ(device->requestsReceived, 0);

  EXPECT_EQ(iq_exchange(kSoftwareRequest.data(), 6, reply_), 20);
  EXPECT_EQ(iq_exchange(longRequest.data(), 64, reply_), 20);
  EXPECT_EQ(device->requestsReceived, 2);
}

TEST_F(IqExchange, MatchingReplyCarriesKeyHopAndReplyBit) {
  auto device = openDevice();
  const int32_t length = send(kHop1StatusRequest);
  ASSERT_EQ(length, 10);
  EXPECT_EQ(reply_[0], 0x3f);
  EXPECT_EQ(reply_[2], 0xc9);
  EXPECT_EQ(reply_[3] & 0x83, 0x81);
  EXPECT_EQ(reply_[4], 0x20);
  EXPECT_EQ(replyPayload(length), (device->readings[{1, 129}]));
}

TEST_F(IqExchange, ApplicationErrorReplyIsAcceptedAtThisLayer) {
  openDevice();  // command 19 has no reading: the device answers with an application error
  ASSERT_EQ(send(kFlaggedRequest), 10);
  EXPECT_EQ(reply_[3] & 0xE0, 0xE0);  // reply, flag and application-error bits
  EXPECT_EQ(replyPayload(10), std::vector<uint8_t>({0x02, 0x00, 0x00, 0x00}));
}

TEST_F(IqExchange, SpoiledRepliesAreIgnoredUntilTheTwoSecondLimit) {
  auto device = openDevice();
  for (ReplyFault fault : {ReplyFault::drop, ReplyFault::badCrc, ReplyFault::noReplyBit,
                           ReplyFault::otherKey, ReplyFault::otherHop, ReplyFault::otherFlag}) {
    device->fault = fault;
    const auto start = bus_->now();
    EXPECT_EQ(send(kSoftwareRequest), IQ_TIMEOUT) << static_cast<int>(fault);
    const auto waited = bus_->now() - start;
    EXPECT_GE(waited, 2000ms);
    EXPECT_LT(waited, 2100ms);
  }
}

TEST_F(IqExchange, GoodReplyAfterASpoiledOneIsTaken) {
  auto device = openDevice();
  device->goodReplyAfterFault = true;
  for (ReplyFault fault : {ReplyFault::badCrc, ReplyFault::noReplyBit, ReplyFault::otherKey,
                           ReplyFault::otherHop, ReplyFault::otherFlag}) {
    device->fault = fault;
    const auto start = bus_->now();
    EXPECT_EQ(send(kSoftwareRequest), 20) << static_cast<int>(fault);
    EXPECT_EQ(bus_->now(), start);  // the reply ended the wait at once
  }
}

TEST_F(IqExchange, LateReplyToATimedOutRequestIsNotTakenAsTheNextAnswer) {
  auto device = openDevice();
  device->replyLatency = 2500ms;
  ASSERT_EQ(send(kSoftwareRequest), IQ_TIMEOUT);
  bus_->advance(1000ms);  // the late reply is now queued in the kernel

  device->replyLatency = 0ms;
  device->readings[{0, 0}] = {0xAA, 0xBB, 0xCC, 0xDD};
  const int32_t length = send(kSoftwareRequest);
  ASSERT_EQ(length, 10);
  EXPECT_EQ(replyPayload(length), std::vector<uint8_t>({0xAA, 0xBB, 0xCC, 0xDD}));
}

TEST_F(IqExchange, NoOpenDeviceGivesMinusOne) {
  plugIn();
  EXPECT_EQ(send(kSoftwareRequest), IQ_NO_DEVICE);
  iq_close();  // nothing open: nothing happens
  EXPECT_EQ(send(kSoftwareRequest), IQ_NO_DEVICE);
}

TEST_F(IqExchange, ExchangeAfterCancelOnOldConnectionDoesNotWrite) {
  auto device = openDevice();
  iq_cancel_io();
  EXPECT_EQ(send(kSoftwareRequest), IQ_NO_DEVICE);
  EXPECT_EQ(device->requestsReceived, 0);

  ASSERT_EQ(iq_open(device->serial.c_str()), 0);  // a new connection under the new epoch
  EXPECT_EQ(send(kSoftwareRequest), 20);
}

TEST_F(IqExchange, UnpluggedDeviceFailsWithENODEVInsteadOfWaiting) {
  auto device = openDevice();
  device->present = false;
  const int32_t result = send(kSoftwareRequest);
  ASSERT_TRUE(IQ_STATUS_IS_ERRNO(result));
  EXPECT_EQ(IQ_STATUS_ERRNO(result), ENODEV);
}

TEST_F(IqExchange, DeviceVanishingDuringTheWaitEndsItAtOnceWithENODEV) {
  auto device = openDevice();
  device->vanishOnNextRequest = true;
  const auto start = bus_->now();
  const int32_t result = send(kSoftwareRequest);
  ASSERT_TRUE(IQ_STATUS_IS_ERRNO(result));
  EXPECT_EQ(IQ_STATUS_ERRNO(result), ENODEV);
  EXPECT_LT(bus_->now() - start, 100ms);
}

// A device that never answers, on virtual time. Its third read of the wait hands over to
// another thread, which cancels and finishes before the read returns: the cancel lands
// inside the wait at a known slice, whatever the machine's speed.
class CancelDuringReadBackend final : public HidBackend {
 public:
  class Connection final : public HidConnection {
   public:
    explicit Connection(CancelDuringReadBackend& bus) : bus_(bus) {}
    int write(std::span<const uint8_t, kHidReportSize>) override { return 0; }
    int read(std::span<uint8_t, kHidReportSize>, std::chrono::milliseconds timeout) override {
      if (++bus_.reads == 3) std::thread([] { iq_cancel_io(); }).join();
      bus_.virtualNow += timeout;
      return 0;
    }
    void discardQueued() override {}

   private:
    CancelDuringReadBackend& bus_;
  };

  std::vector<HidDeviceInfo> enumerate(uint16_t, uint16_t) override {
    return {{"stall:0", "SER-STALL", "IQOS ILUMA i ONE", "Philip Morris Products S.A."}};
  }
  HidOpenResult open(const std::string&) override {
    return {std::make_unique<Connection>(*this), 0};
  }
  TimePoint now() override { return virtualNow; }

  int reads = 0;
  TimePoint virtualNow{std::chrono::seconds(1000)};
};

TEST(IqExchangeCancel, CancelFromAnotherThreadEndsTheWaitBeforeTheNextSlice) {
  auto bus = std::make_shared<CancelDuringReadBackend>();
  iq_install_backend(bus);
  ASSERT_EQ(iq_open("SER-STALL"), 0);
  const auto start = bus->now();
  uint8_t reply[64];
  const int32_t result = iq_exchange(kSoftwareRequest.data(), 6, reply);
  EXPECT_EQ(result, IQ_NO_DEVICE);
  EXPECT_EQ(bus->reads, 3) << "the epoch is looked at between every two reads";
  EXPECT_EQ(bus->now() - start, 3 * nimbra::iq::kSlice);
  iq_close();
  iq_install_backend(nullptr);
}

}  // namespace
}  // namespace nimbra
