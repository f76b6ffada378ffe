// A build without its servers: the device is served as usual, its history is kept and
// counted, and nothing is sent anywhere; the page is told which services the build has.
#include <gtest/gtest.h>

#include "app/flow_fixture.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

class NoServersTest : public FlowTest {};

TEST_F(NoServersTest, ThePageLearnsWhichServicesTheBuildHas) {
  struct Case {
    bool analysisServer;
    UpdateSource updates;
    const char* script;
  };
  for (const Case& c : {
           Case{true, UpdateSource::server,
                R"(window.configureServices({"analysis":true,"updates":"server"}))"},
           Case{false, UpdateSource::none,
                R"(window.configureServices({"analysis":false,"updates":"none"}))"},
           Case{false, UpdateSource::systemPackage,
                R"(window.configureServices({"analysis":false,"updates":"package"}))"},
       }) {
    SCOPED_TRACE(c.script);
    if (!c.analysisServer) analysisEndpoint_ = {};
    updater_.updatesFrom = c.updates;
    controller_.reset();
    page_->scripts.clear();
    loaded();
    ASSERT_EQ(page_->scripts.size(), 2u);
    EXPECT_EQ(page_->scripts[1], c.script);
  }
}

TEST_F(NoServersTest, WithoutAnAnalysisServerRecordsAreKeptAndCountedAndNothingIsSent) {
  analysisEndpoint_ = {};
  loaded();
  connected(withHistory(4));
  send({{"action", "history"}});
  for (int i = 0; i < 3; ++i) advance(Controller::kDevicePollInterval);
  advance(60s);

  EXPECT_TRUE(analysisRequests().empty()) << "a record was sent for analysis";
  EXPECT_TRUE(batteryRequests().empty()) << "a battery estimate was asked for";
  EXPECT_FALSE(ControllerPeer::batteryInput(controller()).has_value());

  nlohmann::json state = last();
  EXPECT_TRUE(state["connected"].get<bool>());
  EXPECT_FALSE(state["initialReading"].get<bool>()) << "the first load waited for an estimate";
  EXPECT_EQ(state["history"].size(), 4u);
  EXPECT_FALSE(state["analyzing"].get<bool>());
  EXPECT_FALSE(state.contains("historyError"));
  EXPECT_FALSE(state.contains("estimatedUses"));
  EXPECT_TRUE(state["sample"].contains("battery")) << "the charge is still shown";
  // Kept on this computer, all still waiting for an analysis that a later build may make.
  EXPECT_EQ(archive().pending(archiveKey())->size(), 4u);
  saveState("no-servers");
}

}  // namespace
}  // namespace nimbra::testing
