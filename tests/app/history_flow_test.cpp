#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "app/analysis_batches.h"
#include "app/flow_fixture.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class HistoryFlowTest : public FlowTest {};

std::vector<size_t> batchSizes(const std::vector<json>& batches) {
  std::vector<size_t> sizes;
  for (const json& batch : batches) sizes.push_back(batch.size());
  return sizes;
}

TEST_F(HistoryFlowTest, FirstConnectionAnalysesAndSecondReadSendsNothing) {
  loaded();
  connected(withHistory(5));
  ASSERT_EQ(batchSizes(analysisRequests()), std::vector<size_t>{5});
  EXPECT_EQ(last()["observations"].size(), 5u);
  EXPECT_EQ(last()["history"].size(), 5u);
  EXPECT_FALSE(last().contains("historyError"));
  EXPECT_FALSE(ControllerPeer::historyNeedsAnalysis(controller()));
  EXPECT_TRUE(archive().pending(archiveKey())->empty());
  saveState("analysed");

  for (int i = 0; i < 3; ++i) advance(Controller::kDevicePollInterval);
  EXPECT_EQ(analysisRequests().size(), 1u) << "an unchanged catalogue sends nothing";
  EXPECT_EQ(last()["observations"].size(), 5u);
}

TEST_F(HistoryFlowTest, SeventyPendingRecordsGoOutInBatchesOfThirty) {
  loaded();
  connected(withHistory(70));
  std::vector<json> batches = analysisRequests();
  ASSERT_EQ(batchSizes(batches), (std::vector<size_t>{30, 30, 10}));
  std::set<int> positions;
  for (const json& batch : batches) {
    for (const json& record : batch) positions.insert(record["position"].get<int>());
  }
  EXPECT_EQ(positions.size(), 70u) << "every record sent exactly once";
  EXPECT_EQ(last()["observations"].size(), 70u);
  EXPECT_FALSE(last()["analyzing"].get<bool>());
}

TEST_F(HistoryFlowTest, ReadFailingThreeTimesShowsTheThirdErrorAndStopsRetrying) {
  loaded();
  sim::SimulatedDeviceState device = withHistory(3);
  device.history.fault = sim::HistoryFault::deviceFailure;
  plug(device);
  EXPECT_FALSE(last().contains("historyError")) << "first failure is retried quietly";
  EXPECT_TRUE(ControllerPeer::retryScheduled(controller()));
  advance(5s);
  EXPECT_FALSE(last().contains("historyError"));
  advance(5s);
  EXPECT_EQ(last()["historyError"], last()["message"]) << "the third read's error";
  EXPECT_FALSE(ControllerPeer::retryScheduled(controller())) << "no fourth read is scheduled";
  EXPECT_FALSE(last()["initialReading"].get<bool>()) << "the first load ends with the error";
  EXPECT_TRUE(analysisRequests().empty());
}

TEST_F(HistoryFlowTest, ResultForAnotherConnectionOrDeviceIsDropped) {
  loaded();
  connected(withHistory(2));
  json before = last();
  HistorySnapshot snapshot{.catalog = std::vector<uint8_t>(34, 1),
                           .packets = {HistoryPacket{{0, 9, 40, 18}, analysableEntry(9)}},
                           .archiveCount = 9,
                           .directoryCount = 1};
  ControllerPeer::historyReadFinished(controller(), kSerial, snapshot, Uuid::random());
  ControllerPeer::historyReadFinished(controller(), "OTHER", snapshot,
                                      ControllerPeer::connectionId(controller()));
  settle();
  EXPECT_EQ(last()["history"], before["history"]);
  EXPECT_EQ(archive().observations(archiveKey())->value().size(), 2u) << "nothing merged";
  EXPECT_EQ(analysisRequests().size(), 1u);
}

TEST_F(HistoryFlowTest, FailedAnalysisWaitsUnlessTheUserAsks) {
  analysisStatus_ = 503;
  loaded();
  connected(withHistory(4));
  ASSERT_EQ(analysisRequests().size(), 1u);
  EXPECT_TRUE(last().contains("historyError"));
  EXPECT_FALSE(last().contains("observations") && !last()["observations"].empty());

  analysisStatus_ = 200;
  advance(Controller::kDevicePollInterval);  // a read within the 30 s wait
  EXPECT_EQ(analysisRequests().size(), 1u) << "no new attempt before 30 s";

  send({{"action", "history"}});
  EXPECT_EQ(analysisRequests().size(), 2u) << "the history action analyses at once";
  EXPECT_EQ(last()["observations"].size(), 4u);
  EXPECT_FALSE(last().contains("historyError"));
}

TEST_F(HistoryFlowTest, MissingArchiveEmptiesObservationsAndKeepsAnalysisDue) {
  loaded();
  connected(withHistory(3));
  ASSERT_EQ(last()["observations"].size(), 3u);
  std::filesystem::remove(archiveFile());
  ControllerPeer::refreshArchive(controller());
  ASSERT_TRUE(ControllerPeer::observations(controller()).has_value());
  EXPECT_TRUE(ControllerPeer::observations(controller())->empty());
  EXPECT_TRUE(ControllerPeer::historyNeedsAnalysis(controller()));
  EXPECT_FALSE(ControllerPeer::analyzedCatalog(controller()).has_value())
      << "the next read fetches the records again";

  send({{"action", "history"}});
  EXPECT_EQ(last()["observations"].size(), 3u)
      << "the records were read, archived and analysed again";
}

TEST_F(HistoryFlowTest, UnreadableArchiveErrorWinsOverTheReadError) {
  loaded();
  sim::SimulatedDeviceState device = withHistory(1);
  auto state = connected(device);
  ASSERT_EQ(last()["observations"].size(), 1u);
  std::ofstream(archiveFile(), std::ios::trunc) << "not a sealed file";
  state->history.fault = sim::HistoryFault::deviceFailure;  // the model is idle now
  send({{"action", "history"}});
  advance(5s);
  advance(5s);
  EXPECT_EQ(last()["historyError"], "无法读取本机加密历史记录。");
}

TEST_F(HistoryFlowTest, TwoRecordsAtOnePositionBothGetAnObservation) {
  // The device rewrote position 4: the archive holds both versions, both awaiting analysis.
  HistoryPacket first{{0, 4, 40, 18}, analysableEntry(4)};
  HistoryPacket second{{0, 4, 40, 18}, analysableEntry(4, 7)};
  ASSERT_TRUE(archive().merge({first, second}, archiveKey()));
  loaded();
  connected(withHistory(0));
  ASSERT_EQ(batchSizes(analysisRequests()), std::vector<size_t>{2});
  EXPECT_TRUE(archive().pending(archiveKey())->empty());
  EXPECT_EQ(last()["observations"].size(), 2u);
  EXPECT_FALSE(ControllerPeer::historyNeedsAnalysis(controller()));
}

TEST(AnalysisBatches, DuplicatePositionsShareTheReplyInOrder) {
  auto pending = [](std::string id, int position) {
    return HistoryArchive::Pending{std::move(id),
                                   HistoryPacket{{0, position, 4, 18}, {1, 2, 3, 4}}};
  };
  std::vector<HistoryArchive::Pending> batch{pending("a", 4), pending("b", 4), pending("c", 5),
                                             pending("a", 4)};
  batch = takeBatch(batch);
  ASSERT_EQ(batch.size(), 3u) << "an id is taken once";
  auto observation = [](int position, int tail) {
    HistoryObservation observation;
    observation.position = position;
    observation.tailEntries = tail;
    return observation;
  };
  auto matched =
      matchObservations(batch, {observation(5, 1), observation(4, 2), observation(4, 3)});
  ASSERT_EQ(matched.size(), 3u);
  EXPECT_EQ(matched.at("a").tailEntries, 2);
  EXPECT_EQ(matched.at("b").tailEntries, 3);
  EXPECT_EQ(matched.at("c").tailEntries, 1);
  // A reply with fewer observations at a position than records there still covers each.
  matched = matchObservations(batch, {observation(4, 2), observation(5, 1)});
  EXPECT_EQ(matched.at("b").tailEntries, 2);
  EXPECT_TRUE(withoutBatch(batch, batch).empty());
}

}  // namespace
}  // namespace nimbra::testing
