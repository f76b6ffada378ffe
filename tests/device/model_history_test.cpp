#include <gtest/gtest.h>

#include "device/model.h"
#include "model_fixture.h"
#include "sim/simulated_history.h"

namespace nimbra {
namespace {

using sim::HistoryFault;

class ModelHistory : public testing::ModelTest {
 protected:
  // A device read once, announcing (0: 10..13), (1: 5..5), (2: 0..1), (3: 0..0).
  void SetUp() override {
    ModelTest::SetUp();
    device_ = connected();
    device_->history.records = {{{0, 10, 13}, {1, 5, 5}, {2, 0, 1}, {3, 0, 0}}};
  }
  // An empty `previous` stands for no previously analysed catalogue.
  void start(bool background, const std::vector<uint8_t>& previous = {}) {
    std::optional<std::vector<uint8_t>> catalog;
    if (!previous.empty()) catalog.emplace(previous);
    model().readHistory(std::move(catalog), background,
                        [this](const std::string& serial, const HistoryOutcome& outcome) {
                          calls_.push_back({serial, outcome});
                        });
  }
  void readAndSettle(bool background, const std::vector<uint8_t>& previous = {}) {
    start(background, previous);
    settle();
  }
  std::vector<uint8_t> currentCatalog() { return sim::catalogData(device_->history.records); }

  struct Call {
    std::string serial;
    HistoryOutcome outcome;
  };
  std::shared_ptr<sim::SimulatedDeviceState> device_;
  std::vector<Call> calls_;
};

TEST_F(ModelHistory, ForegroundReadShowsProgressThenTheCount) {
  start(false);
  EXPECT_TRUE(model().busy());
  EXPECT_EQ(model().message(), "正在读取设备历史…");
  settle();
  EXPECT_EQ(model().message(), "已读取 4 条设备历史目录记录");
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].serial, device_->serial);
  const auto* snapshot = std::get_if<HistorySnapshot>(&calls_[0].outcome);
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(snapshot->archiveCount, 4);
  EXPECT_FALSE(model().backgroundReading());
}

TEST_F(ModelHistory, ForegroundErrorShowsItsMessage) {
  device_->history.records[3].directory = 2;
  readAndSettle(false);
  EXPECT_EQ(model().message(), "设备历史目录格式暂不支持");
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<Error>(calls_[0].outcome));
}

TEST_F(ModelHistory, UnchangedRestoresTheMessageFromBeforeTheRead) {
  const std::string before = model().message();
  readAndSettle(false, currentCatalog());
  EXPECT_EQ(model().message(), before);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<HistoryUnchanged>(calls_[0].outcome));
  EXPECT_EQ(device_->history.entryRequests, 0);
}

TEST_F(ModelHistory, BackgroundReadNeverTouchesTheMessage) {
  const std::string before = model().message();
  int changes = 0;
  const auto token = model().subscribe(
      [&](ModelProperty property) { changes += property == ModelProperty::message; });

  start(true);
  EXPECT_TRUE(model().backgroundReading());
  settle();
  readAndSettle(true, currentCatalog());
  device_->history.fault = HistoryFault::deviceFailure;
  readAndSettle(true);

  model().unsubscribe(token);
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(model().message(), before);
  ASSERT_EQ(calls_.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<HistorySnapshot>(calls_[0].outcome));
  EXPECT_TRUE(std::holds_alternative<HistoryUnchanged>(calls_[1].outcome));
  EXPECT_TRUE(std::holds_alternative<Error>(calls_[2].outcome));
}

TEST_F(ModelHistory, NotStartedWhileBusyOrWithoutADevice) {
  model().refresh(false);  // busy
  start(false);
  settle();
  model().forgetDevice();  // no device, nothing read
  start(false);
  mainQueue_.runPending();
  EXPECT_FALSE(model().busy());
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(device_->history.catalogRequests, 0);
}

TEST_F(ModelHistory, ForgottenDeviceDropsTheResult) {
  start(false);
  model().forgetDevice();
  settle();
  EXPECT_TRUE(calls_.empty());
  EXPECT_FALSE(model().backgroundReading());
  EXPECT_NE(model().message(), "已读取 4 条设备历史目录记录");
}

}  // namespace
}  // namespace nimbra
