#include <future>

#include <gtest/gtest.h>

#include "device/model.h"
#include "devicelink/iq.h"
#include "model_fixture.h"

namespace nimbra {
namespace {

constexpr char kEngineReset[] = "3f08c946000000000080";
constexpr char kControlReset[] = "3f08c046000000000080";

class ModelReset : public testing::ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    device_ = connected();
    sentBefore_ = device_->frameLog.size();
  }

  // Resets and waits; returns what the completion received, or "not called".
  std::optional<bool> reset() {
    std::optional<bool> received;
    model().resetModules([&](bool done) { received = done; });
    settle();
    return received;
  }

  std::vector<std::string> sent() const { return framesFrom(*device_, sentBefore_); }

  std::shared_ptr<sim::SimulatedDeviceState> device_;
  std::size_t sentBefore_ = 0;
};

TEST_F(ModelReset, ResetsEngineThenControlWithThePauseBetween) {
  EXPECT_EQ(reset(), true);
  EXPECT_EQ(sent(), (std::vector<std::string>{kEngineReset, kControlReset}));
  EXPECT_EQ(sleeps_, (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(3100)}));
  EXPECT_TRUE(model().rows().empty());
  EXPECT_TRUE(model().values().empty());
  EXPECT_FALSE(model().updated());
}

TEST_F(ModelReset, EngineReplyWithAPayloadEndsWithoutTheControlReset) {
  device_->reset.replyPayloads[1] = {0x01, 0x00, 0x00, 0x00};
  EXPECT_EQ(reset(), false);
  EXPECT_EQ(sent(), (std::vector<std::string>{kEngineReset}));
  EXPECT_TRUE(sleeps_.empty());
  EXPECT_TRUE(model().rows().empty());
}

TEST_F(ModelReset, ControlRefusalReportsFailure) {
  device_->reset.replyPayloads[0] = {0x02, 0x00, 0x00, 0x00};
  EXPECT_EQ(reset(), false);
  EXPECT_EQ(sent().size(), 2u);
}

TEST_F(ModelReset, CancelDuringThePauseEndsWithoutTheControlReset) {
  duringSleep_ = [] { iq_cancel_io(); };
  EXPECT_EQ(reset(), false);
  EXPECT_EQ(sent(), (std::vector<std::string>{kEngineReset}));
}

TEST_F(ModelReset, ForgetDuringThePauseDropsTheResult) {
  std::promise<void> paused;
  std::promise<void> resume;
  duringSleep_ = [&] {
    paused.set_value();
    resume.get_future().wait();
  };
  bool called = false;
  model().resetModules([&](bool) { called = true; });
  paused.get_future().wait();
  model().forgetDevice();
  resume.set_value();
  settle();
  EXPECT_FALSE(called);
  EXPECT_EQ(sent(), (std::vector<std::string>{kEngineReset}));
}

TEST_F(ModelReset, RefusedAtOnceWhileBusyOrBeforeAGoodRead) {
  model().refresh(false);
  std::optional<bool> whileBusy;
  model().resetModules([&](bool done) { whileBusy = done; });
  EXPECT_EQ(whileBusy, false);
  settle();

  model().forgetDevice();
  std::optional<bool> unread;
  model().resetModules([&](bool done) { unread = done; });
  EXPECT_EQ(unread, false);
  EXPECT_EQ(sent().size(), 19u) << "only the status read";
}

TEST_F(ModelReset, RebootingDeviceAnswersNothingUntilItIsBack) {
  device_->reset.rebootTime = std::chrono::seconds(120);
  device_->clock = [bus = bus_.get()] { return bus->now(); };
  EXPECT_EQ(reset(), true);
  refreshed();
  EXPECT_EQ(model().message(), "读取完成 · 0 项有效数据 · 设置 0/8");

  bus_->advance(std::chrono::seconds(200));
  refreshed();
  EXPECT_EQ(model().message(), "读取完成 · 10 项有效数据 · 设置 8/8");
}

}  // namespace
}  // namespace nimbra
