#include "server/battery_estimate.h"

#include <optional>

#include <gtest/gtest.h>

#include "core/json_fields.h"
#include "core/manual_main_queue.h"
#include "support/result_assertions.h"
#include "support/test_http_server.h"

namespace nimbra {
namespace {

using test::HttpReply;
using test::HttpRequest;
using test::TestHttpServer;

Result<HistoryAPI::BatteryEstimate> decode(const std::string& voltage,
                                           const std::string& extra = R"(,"predictedUses":12)") {
  return HistoryAPI::decodeBatteryEstimate(R"({"schemaVersion":1,"voltage":)" + voltage + extra +
                                           "}");
}

void expectInvalid(const Result<HistoryAPI::BatteryEstimate>& result) {
  ASSERT_ERROR(result, "ZuvoHistory", 1);
  EXPECT_EQ(result.error().message, "电池估算响应格式无效");
}

TEST(BatteryInput, IsWrittenWithFixedValuesFirst) {
  HistoryAPI::BatteryInput input;
  input.charge = 87;
  input.adc = 4012;
  input.calibration = -3;
  EXPECT_EQ(toJson(input).dump(),
            R"({"schemaVersion":1,"brand":"iqos","model":"m0033","charge":87,"adc":4012,)"
            R"("calibration":-3})");
}

TEST(BatteryEstimateReply, VoltageRangeEndsAreAccepted) {
  auto low = decode("2.0");
  ASSERT_OK(low);
  EXPECT_EQ(low->voltage, 2.0);
  EXPECT_EQ(low->predictedUses, 12);
  EXPECT_OK(decode("5.0"));
  EXPECT_OK(decode("5"));
}

TEST(BatteryEstimateReply, VoltageJustOutsideTheRangeIsInvalid) {
  expectInvalid(decode("1.99"));
  expectInvalid(decode("5.01"));
}

TEST(BatteryEstimateReply, OtherSchemaVersionIsInvalid) {
  expectInvalid(HistoryAPI::decodeBatteryEstimate(R"({"schemaVersion":2,"voltage":3.7})"));
}

TEST(BatteryEstimateReply, NullOrMissingPredictedUsesMeansUnknown) {
  auto nullUses = decode("3.7", R"(,"predictedUses":null)");
  ASSERT_OK(nullUses);
  EXPECT_FALSE(nullUses->predictedUses.has_value());
  auto missing = decode("3.7", "");
  ASSERT_OK(missing);
  EXPECT_FALSE(missing->predictedUses.has_value());
}

TEST(BatteryEstimateReply, WrongShapeIsADecodingError) {
  for (auto body : {R"({"schemaVersion":1,"voltage":"3.7"})", R"({"schemaVersion":1})",
                    R"({"schemaVersion":1,"voltage":3.7,"predictedUses":1.5})", "[]", "oops"}) {
    auto result = HistoryAPI::decodeBatteryEstimate(body);
    EXPECT_ERROR(result, kCocoaErrorDomain, kJsonDecodingErrorCode) << body;
  }
}

TEST(EstimateBattery, PostsTheInputAndReturnsTheEstimateOnTheMainQueue) {
  TestHttpServer server([](const HttpRequest&) {
    return HttpReply::ok(R"({"schemaVersion":1,"voltage":3.85,"predictedUses":null})");
  });
  HistoryAPI::Endpoint endpoint{server.baseUrl()};
  ManualMainQueue queue;
  HistoryAPI::BatteryInput input;
  input.adc = 3900;
  std::optional<Result<HistoryAPI::BatteryEstimate>> outcome;
  HistoryAPI::estimateBattery(
      queue, endpoint, Uuid::random(), input,
      [&](Result<HistoryAPI::BatteryEstimate> r) { outcome = std::move(r); });
  ASSERT_TRUE(queue.runUntil([&] { return outcome.has_value(); }));
  ASSERT_OK(*outcome);
  EXPECT_EQ((*outcome)->voltage, 3.85);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].target, "/v1/battery/estimate");
  EXPECT_EQ(server.requests()[0].body,
            R"({"schemaVersion":1,"brand":"iqos","model":"m0033","charge":0,"adc":3900,)"
            R"("calibration":0})");
  ASSERT_TRUE(queue.runUntil([] { return HistoryAPI::callsInFlight() == 0; }));
}

}  // namespace
}  // namespace nimbra
