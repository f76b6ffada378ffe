#include "server/history_analysis.h"

#include <optional>

#include <gtest/gtest.h>

#include "core/dates.h"
#include "core/json_fields.h"
#include "core/manual_main_queue.h"
#include "support/result_assertions.h"
#include "support/test_http_server.h"

namespace nimbra {
namespace {

using test::HttpReply;
using test::HttpRequest;
using test::TestHttpServer;

HistoryPacket packet(int position, std::vector<uint8_t> payload = {0x92, 0x01, 0x02}) {
  HistoryPacket p;
  p.entry = HistoryEntry{0, position, static_cast<int>(payload.size()), 18};
  p.payload = std::move(payload);
  return p;
}

std::string observationJson(int position, const std::string& time = "2026-01-31T08:15:00Z") {
  return R"({"position":)" + std::to_string(position) + R"(,"candidateTime":")" + time +
         R"(","tailEntries":2,"eventKind":"session","kind":"use"})";
}

std::string reply(const std::vector<std::string>& observations, int schemaVersion = 1) {
  std::string list;
  for (const auto& o : observations) list += (list.empty() ? "" : ",") + o;
  return R"({"schemaVersion":)" + std::to_string(schemaVersion) + R"(,"observations":[)" + list +
         "]}";
}

void expectInconsistent(const Result<std::vector<HistoryObservation>>& result) {
  ASSERT_ERROR(result, "ZuvoHistory", 1);
  EXPECT_EQ(result.error().message, "历史解析响应与本次设备读取不一致");
}

void expectDecodingError(const Result<std::vector<HistoryObservation>>& result) {
  EXPECT_ERROR(result, kCocoaErrorDomain, kJsonDecodingErrorCode);
}

TEST(AnalysisRequest, CarriesFixedValuesAndOneBase64RecordPerPacketInOrder) {
  auto request = HistoryAPI::analysisRequest({packet(17, {0x01, 0x02, 0x03}), packet(4, {0xff})});
  EXPECT_EQ(request.dump(),
            R"({"schemaVersion":1,"brand":"iqos","model":"m0033","records":[)"
            R"({"position":17,"payload":"AQID"},{"position":4,"payload":"/w=="}]})");
}

TEST(AnalysisReply, SamePositionsInAnotherOrderComeBackInReplyOrder) {
  auto result = HistoryAPI::decodeAnalysisReply(reply({observationJson(2), observationJson(1)}),
                                                {packet(1), packet(2)});
  ASSERT_OK(result);
  ASSERT_EQ(result->size(), 2u);
  EXPECT_EQ((*result)[0].position, 2);
  EXPECT_EQ((*result)[1].position, 1);
  EXPECT_EQ((*result)[0].candidateTime, *parseIso8601("2026-01-31T08:15:00Z"));
  EXPECT_EQ((*result)[0].kind, "use");
  EXPECT_EQ((*result)[0].eventKind, "session");
  EXPECT_EQ((*result)[0].tailEntries, 2);
}

TEST(AnalysisReply, OneObservationFewerIsInconsistent) {
  expectInconsistent(
      HistoryAPI::decodeAnalysisReply(reply({observationJson(1)}), {packet(1), packet(2)}));
}

TEST(AnalysisReply, PositionThatWasNotSentIsInconsistent) {
  expectInconsistent(HistoryAPI::decodeAnalysisReply(
      reply({observationJson(1), observationJson(9)}), {packet(1), packet(2)}));
}

TEST(AnalysisReply, OtherSchemaVersionIsInconsistent) {
  expectInconsistent(HistoryAPI::decodeAnalysisReply(reply({observationJson(1)}, 2), {packet(1)}));
}

TEST(AnalysisReply, DuplicatePositionsOnBothSidesPass) {
  auto result = HistoryAPI::decodeAnalysisReply(reply({observationJson(5), observationJson(5)}),
                                                {packet(5, {1}), packet(5, {2})});
  EXPECT_OK(result);
}

TEST(AnalysisReply, DuplicateInReplyCannotHideAMissingPosition) {
  expectInconsistent(HistoryAPI::decodeAnalysisReply(
      reply({observationJson(5), observationJson(5)}), {packet(5), packet(6)}));
}

TEST(AnalysisReply, FractionalSecondsFailTheWholeReply) {
  expectDecodingError(HistoryAPI::decodeAnalysisReply(
      reply({observationJson(1), observationJson(2, "2026-01-31T08:15:00.5Z")}),
      {packet(1), packet(2)}));
}

TEST(AnalysisReply, NumericCandidateTimeFailsDecoding) {
  std::string body =
      R"({"schemaVersion":1,"observations":[{"position":1,"candidateTime":791540100,)"
      R"("tailEntries":0,"kind":"use"}]})";
  expectDecodingError(HistoryAPI::decodeAnalysisReply(body, {packet(1)}));
}

TEST(AnalysisReply, AnyZoneDesignatorIsRead) {
  auto result = HistoryAPI::decodeAnalysisReply(
      reply({observationJson(1, "2026-01-31T16:15:00+08:00")}), {packet(1)});
  ASSERT_OK(result);
  EXPECT_EQ((*result)[0].candidateTime, *parseIso8601("2026-01-31T08:15:00Z"));
}

TEST(AnalysisReply, MissingOrNullEventKindIsAbsentAndStaysOutWhenWritten) {
  std::string body =
      R"({"schemaVersion":1,"extra":true,"observations":[)"
      R"({"position":1,"candidateTime":"2026-01-31T08:15:00Z","tailEntries":0,"kind":"a"},)"
      R"({"position":2,"candidateTime":"2026-01-31T08:15:00Z","tailEntries":0,"kind":"b",)"
      R"("eventKind":null}]})";
  auto result = HistoryAPI::decodeAnalysisReply(body, {packet(1), packet(2)});
  ASSERT_OK(result);
  EXPECT_FALSE((*result)[0].eventKind.has_value());
  EXPECT_FALSE((*result)[1].eventKind.has_value());
  EXPECT_EQ(toJson((*result)[0], ObservationDates::iso8601).dump(),
            R"({"position":1,"candidateTime":"2026-01-31T08:15:00Z","tailEntries":0,"kind":"a"})");
}

TEST(AnalysisReply, BodyThatIsNotJsonOrMissesAKeyFailsDecoding) {
  expectDecodingError(HistoryAPI::decodeAnalysisReply("", {packet(1)}));
  expectDecodingError(HistoryAPI::decodeAnalysisReply(R"({"schemaVersion":1})", {packet(1)}));
  expectDecodingError(HistoryAPI::decodeAnalysisReply(
      R"({"schemaVersion":1,"observations":[{"position":1,"candidateTime":"2026-01-31T08:15:00Z",)"
      R"("tailEntries":0}]})",
      {packet(1)}));
}

TEST(StoredObservation, RoundTripsWithSecondsSince2001) {
  HistoryObservation observation{7, *parseIso8601("2026-01-31T08:15:00Z"), 3, std::nullopt, "k"};
  auto json = toJson(observation, ObservationDates::secondsSince2001);
  EXPECT_TRUE(json["candidateTime"].is_number());
  EXPECT_EQ(historyObservationFromJson(nlohmann::json::parse(json.dump()),
                                       ObservationDates::secondsSince2001),
            observation);
}

class AnalyzeTest : public ::testing::Test {
 protected:
  AnalyzeTest() : server_([this](const HttpRequest&) { return HttpReply::ok(body_); }) {
    endpoint_.baseUrl = server_.baseUrl();
  }

  std::optional<Result<std::vector<HistoryObservation>>> run(std::vector<HistoryPacket> packets) {
    std::optional<Result<std::vector<HistoryObservation>>> outcome;
    HistoryAPI::analyze(queue_, endpoint_, id_, std::move(packets),
                        [&](Result<std::vector<HistoryObservation>> r) { outcome = std::move(r); });
    EXPECT_TRUE(queue_.runUntil([&] { return outcome.has_value(); }));
    EXPECT_TRUE(queue_.runUntil([] { return HistoryAPI::callsInFlight() == 0; }));
    return outcome;
  }

  std::string body_;
  TestHttpServer server_;
  ManualMainQueue queue_;
  HistoryAPI::Endpoint endpoint_;
  Uuid id_ = Uuid::random();
};

TEST_F(AnalyzeTest, EmptyListSendsNothing) {
  auto outcome = run({});
  ASSERT_TRUE(outcome);
  ASSERT_OK(*outcome);
  EXPECT_TRUE((*outcome)->empty());
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(AnalyzeTest, PostsTheRequestAndReturnsCheckedObservations) {
  body_ = reply({observationJson(3)});
  auto outcome = run({packet(3)});
  ASSERT_TRUE(outcome);
  ASSERT_OK(*outcome);
  EXPECT_EQ((*outcome)->size(), 1u);
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/v1/history/analyze");
  EXPECT_EQ(requests[0].header("X-Zuvo-Installation-ID"), id_.text());
  EXPECT_EQ(requests[0].body, HistoryAPI::analysisRequest({packet(3)}).dump());
}

TEST_F(AnalyzeTest, InconsistentReplyFailsEvenWithStatus200) {
  body_ = reply({});
  auto outcome = run({packet(3)});
  ASSERT_TRUE(outcome);
  expectInconsistent(*outcome);
}

}  // namespace
}  // namespace nimbra
