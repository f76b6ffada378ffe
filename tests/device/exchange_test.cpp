#include "device/exchange.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "device/frames.h"
#include "device/readings.h"
#include "support/result_assertions.h"
#include "support/simulated_link.h"

namespace nimbra {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kBatteryFrame = makeFrame(385, 0, {}, false);

class DeviceExchange : public testing::SimulatedLinkTest {};

TEST_F(DeviceExchange, ReturnsTheReplyPayload) {
  openDevice();
  const auto payload = exchange(kBatteryFrame);
  ASSERT_OK(payload);
  EXPECT_EQ(*payload, (Bytes{0x6E, 0x0F, 0x57, 0x19}));
}

TEST_F(DeviceExchange, SixByteReplyHasAnEmptyPayload) {
  auto device = openDevice();
  device->readings[{0, 385}] = {};
  const auto payload = exchange(kBatteryFrame);
  ASSERT_OK(payload);
  EXPECT_TRUE(payload->empty());
}

TEST_F(DeviceExchange, ApplicationErrorCarriesThePayloadHex) {
  openDevice();
  const Bytes flagged{0x3f, 0x08, 0xc0, 0x47, 0x04, 0x00, 0xff, 0xff, 0x00, 0xda};
  const auto payload = exchange(flagged);
  ASSERT_ERROR(payload, "IQOSDevice", 2);
  EXPECT_EQ(payload.error().message, "设备返回应用错误：02000000");
  EXPECT_EQ(payload.error().userInfo.at("payload"), "02000000");
}

TEST_F(DeviceExchange, EmptyApplicationErrorEndsTheMessageAtTheColon) {
  auto device = openDevice();
  device->readings.erase({0, 385});
  device->applicationErrors[{0, 385}] = {};
  const auto payload = exchange(kBatteryFrame);
  ASSERT_FALSE(payload.ok());
  EXPECT_EQ(payload.error().message, "设备返回应用错误：");
  EXPECT_EQ(payload.error().userInfo.at("payload"), "");
}

TEST_F(DeviceExchange, TimeoutAndTransferFailuresHaveFixedTexts) {
  auto device = openDevice();
  device->fault = sim::ReplyFault::drop;
  auto payload = exchange(kBatteryFrame);
  ASSERT_ERROR(payload, "IQOS", 1);
  EXPECT_EQ(payload.error().message, "设备响应超时，请退出官方 IQOS 程序后重试");

  iq_close();
  payload = exchange(kBatteryFrame);
  ASSERT_FALSE(payload.ok());
  EXPECT_EQ(payload.error().message, "USB 传输失败：-1");

  EXPECT_EQ(transferError(IQ_STATUS_FROM_ERRNO(EACCES)).message, "USB 传输失败：-1013");
}

TEST_F(DeviceExchange, RefusedFrameIsABadArgument) {
  openDevice();
  const auto payload = exchange(makeFrame(0, 0, Bytes(3), false));
  ASSERT_FALSE(payload.ok());
  EXPECT_EQ(payload.error().message, "USB 传输失败：-2");
}

TEST_F(DeviceExchange, StatusReadAnswersEveryCommandOfBothHops) {
  openDevice();
  for (const auto& read : kStatusReads) {
    const auto payload = exchange(makeFrame(read.command, read.hop, {}, false));
    EXPECT_OK(payload) << read.hop << "/" << read.command;
  }
}

}  // namespace
}  // namespace nimbra
