#include "device/model.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "model_fixture.h"

namespace nimbra {
namespace {

using testing::ModelTest;

constexpr char kProduct[] = "IQOS ILUMA i ONE";

TEST(ModelScan, KeepsOnlyThreeFieldLinesOfTheRightProductWithASerial) {
  const auto devices = parseScan(
      "SN1\tIQOS ILUMA i ONE\tMaker\n"
      "\tIQOS ILUMA i ONE\tMaker\n"
      "SN2\tIQOS ILUMA PRIME\tMaker\n"
      "SN3\tIQOS ILUMA i ONE\n"
      "SN4\tIQOS ILUMA i ONE\tMaker\textra\n"
      "\n"
      "SN5\tIQOS ILUMA i ONE\tOther maker\n");
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0], (Device{"SN1", kProduct, "Maker"}));
  EXPECT_EQ(devices[1].id, "SN5");
}

TEST(ModelScan, ChoosesTheSelectedDeviceWhileItIsThereElseTheFirst) {
  const std::vector<Device> devices{{"A", kProduct, "M"}, {"B", kProduct, "M"}};
  EXPECT_EQ(chooseDevice(devices, "B"), "B");
  EXPECT_EQ(chooseDevice(devices, "C"), "A");
  EXPECT_EQ(chooseDevice(devices, ""), "A");
  EXPECT_EQ(chooseDevice({}, "B"), "");
}

TEST(ModelPowerHint, NeedsBatteryAndSystemStateAmongFourRefusals) {
  const Error refused =
      Error{"IQOSDevice", 2, "设备返回应用错误：02000000", {{"payload", "02000000"}}};
  const std::vector<uint8_t> identity{0x01};
  std::vector<Reading> rows{successReading(0, 0, identity),     successReading(0, 1, identity),
                            errorReading(refused, 0, 128, "a"), errorReading(refused, 0, 129, "b"),
                            errorReading(refused, 0, 385, "c"), errorReading(refused, 0, 144, "d")};
  EXPECT_TRUE(powerHintApplies(rows));

  rows.pop_back();
  EXPECT_FALSE(powerHintApplies(rows)) << "only three refusals";
  rows.push_back(errorReading(refused, 0, 147, "e"));
  rows.push_back(successReading(1, 134, identity));
  EXPECT_FALSE(powerHintApplies(rows)) << "an extended command answered";
}

TEST_F(ModelTest, FullReadPublishesRowsSettingsAndTheFinishedMessage) {
  auto device = connected();
  EXPECT_EQ(device->frameLog.size(), 19u);
  EXPECT_EQ(model().rows().size(), 10u);
  EXPECT_EQ(model().values().size(), 9u);
  EXPECT_EQ(model().values().at("light"), true);
  EXPECT_EQ(model().values().at("v1"), false);
  EXPECT_EQ(model().values().at("lock"), false);
  EXPECT_EQ(model().message(), "读取完成 · 10 项有效数据 · 设置 8/8");
  EXPECT_EQ(model().updated(), clock_.now());
  EXPECT_FALSE(model().powerHint());
  EXPECT_EQ(model().selected(), device->serial);
  EXPECT_EQ(model().devices().size(), 1u);
}

TEST_F(ModelTest, UnreadableSettingsAreLeftOutOfTheCount) {
  auto state = sim::ilumaOne();
  state.settings.light = 0x50;
  state.settings.vibration[3] = 0x07;
  connected(std::move(state));
  EXPECT_FALSE(model().values().contains("light"));
  EXPECT_EQ(model().message(), "读取完成 · 10 项有效数据 · 设置 6/8");
}

TEST_F(ModelTest, ReadWhereEveryExchangeFailsReportsNothingValid) {
  auto state = sim::ilumaOne();
  state.fault = sim::ReplyFault::drop;
  connected(std::move(state));
  EXPECT_EQ(model().rows().size(), 19u);
  EXPECT_TRUE(model().values().empty());
  EXPECT_EQ(model().rows().back().name, "家长锁");
  EXPECT_EQ(model().message(), "读取完成 · 0 项有效数据 · 设置 0/8");
  EXPECT_FALSE(model().updated());
}

TEST_F(ModelTest, SwitchedOffDeviceGetsThePowerHint) {
  auto state = sim::ilumaOne();
  state.switchedOff = true;
  connected(std::move(state));
  EXPECT_EQ(model().powerHint(), std::string(kPowerHintText));
  EXPECT_EQ(model().message(), "USB 已连接 · 设备可能未开机，请长按按钮开机后刷新");
  EXPECT_FALSE(model().updated());
}

TEST_F(ModelTest, NoDeviceTellsTheUserToConnectOne) {
  refreshed();
  EXPECT_EQ(model().message(), "未发现 IQOS USB 设备，请使用数据线连接");
  EXPECT_TRUE(model().selected().empty());
}

TEST_F(ModelTest, OpenFailureShowsTheCode) {
  auto state = sim::ilumaOne();
  state.openErrno = EACCES;
  connected(std::move(state));
  EXPECT_EQ(model().message(), "无法打开 USB（-1013），请退出官方 IQOS 程序后刷新");
  EXPECT_TRUE(model().rows().empty());
}

TEST_F(ModelTest, RefreshWhileBusyDoesNothing) {
  auto device = plugIn();
  model().refresh(false);
  model().refresh(false);
  settle();
  mainQueue_.runPending();
  EXPECT_EQ(device->frameLog.size(), 19u);
}

TEST_F(ModelTest, ForgetDuringAReadDropsItsResults) {
  plugIn();
  model().refresh(false);
  model().forgetDevice();
  settle();
  EXPECT_TRUE(model().devices().empty());
  EXPECT_TRUE(model().selected().empty());
  EXPECT_TRUE(model().rows().empty());
  EXPECT_FALSE(model().updated());
  EXPECT_EQ(model().message(), "正在查找 USB 设备…");
  EXPECT_EQ(model().generation(), 1u);
}

class ModelDeviceChoice : public ModelTest {
 protected:
  // A and B plugged in, B selected by a read while A did not match.
  void SetUp() override {
    ModelTest::SetUp();
    a_ = plugIn(sim::ilumaOne("A"));
    b_ = plugIn(sim::ilumaOne("B"));
    a_->product = "Other";
    refreshed();
    a_->product = kProduct;
    model().subscribe([this](ModelProperty p) { changes_.push_back(p); });
  }
  // Whether `wanted` changed with the scan result: after `selected` was set, before the read
  // ended (busy back to false).
  bool changedWithScan(ModelProperty wanted) const {
    auto at = std::find(changes_.begin(), changes_.end(), ModelProperty::selected);
    for (; at != changes_.end() && *at != ModelProperty::busy; ++at) {
      if (*at == wanted) return true;
    }
    return false;
  }

  std::shared_ptr<sim::SimulatedDeviceState> a_, b_;
  std::vector<ModelProperty> changes_;
};

TEST_F(ModelDeviceChoice, SelectedDeviceStaysWhileItIsThere) {
  refreshed();
  EXPECT_EQ(model().devices().size(), 2u);
  EXPECT_EQ(model().selected(), "B");
  EXPECT_FALSE(changedWithScan(ModelProperty::rows));
}

TEST_F(ModelDeviceChoice, VanishedSelectionFallsBackToTheFirstAndClearsItsState) {
  b_->present = false;
  refreshed();
  EXPECT_EQ(model().selected(), "A");
  for (const auto p : {ModelProperty::rows, ModelProperty::values, ModelProperty::updated,
                       ModelProperty::powerHint}) {
    EXPECT_TRUE(changedWithScan(p));
  }
}

TEST_F(ModelTest, ObserversAreToldBeforeTheValueChanges) {
  plugIn();
  std::vector<std::string> seen;
  model().subscribe([&](ModelProperty p) {
    if (p == ModelProperty::message) seen.push_back(model().message());
  });
  refreshed();
  EXPECT_EQ(seen, (std::vector<std::string>{"正在查找 USB 设备…"}));
}

TEST_F(ModelTest, EveryDeviceCallRunsOnTheDeviceQueue) {
  auto device = connected();
  model().readLiveStatus([](std::optional<std::string>) {});
  settle();
  ASSERT_EQ(device->frameLog.size(), 20u);
  for (const auto& frame : device->frameLog) {
    EXPECT_EQ(frame.thread, model().queue().threadId());
  }
  EXPECT_NE(model().queue().threadId(), std::this_thread::get_id());
}

TEST_F(ModelTest, LiveStatusIsTheEngineSystemStateAsHex) {
  auto device = connected();
  std::optional<std::string> status;
  model().readLiveStatus([&](std::optional<std::string> s) { status = std::move(s); });
  settle();
  EXPECT_EQ(status, "03000000");

  device->readings[{1, 129}] = {0x01, 0x02};
  bool called = false;
  model().readLiveStatus([&](std::optional<std::string> s) {
    called = true;
    EXPECT_FALSE(s);
  });
  settle();
  EXPECT_TRUE(called);
}

TEST_F(ModelTest, LiveStatusOfAForgottenDeviceIsDropped) {
  connected();
  bool called = false;
  model().readLiveStatus([&](std::optional<std::string>) { called = true; });
  model().forgetDevice();
  settle();
  EXPECT_FALSE(called);
  model().readLiveStatus([&](std::optional<std::string>) { called = true; });
  EXPECT_FALSE(model().busy()) << "nothing selected";
}

}  // namespace
}  // namespace nimbra
