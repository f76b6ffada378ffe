#include <gtest/gtest.h>

#include "device/model.h"
#include "model_fixture.h"

namespace nimbra {
namespace {

// What a completion receives on failure (the outer optional: whether it was called at all).
const std::optional<std::optional<bool>> kCalledWithoutValue{std::in_place};

class ModelWrite : public testing::ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    device_ = plugIn();
    device_->settings.light = 0x1E;
    device_->settings.vibration = {0x1D, 0x01, 0x01, 0x01};
    refreshed();
    sentBefore_ = device_->frameLog.size();
  }

  // Writes and waits; returns what the completion received, or "not called".
  std::optional<std::optional<bool>> write(std::string_view id, bool value) {
    std::optional<std::optional<bool>> received;
    model().writeSetting(*findSetting(id), value,
                         [&](std::optional<bool> confirmed) { received = confirmed; });
    settle();
    return received;
  }

  std::vector<std::string> sent() const { return framesFrom(*device_, sentBefore_); }

  std::shared_ptr<sim::SimulatedDeviceState> device_;
  std::size_t sentBefore_ = 0;
};

TEST_F(ModelWrite, LightOnIsSentAndReadBack) {
  EXPECT_EQ(write("light", true), std::optional<bool>(true));
  EXPECT_EQ(sent(), (std::vector<std::string>{"3f08c044246400000034", "3f04c00024fc"}));
  EXPECT_TRUE(model().values().at("light"));
  EXPECT_EQ(model().message(), "设置完成");
  EXPECT_EQ(device_->settings.light, 0x64);
}

TEST_F(ModelWrite, VibrationIsWrittenAsOneConfigurationOfAllFour) {
  EXPECT_EQ(write("v2", true), std::optional<bool>(true));
  const auto frames = sent();
  ASSERT_EQ(frames.size(), 11u);
  EXPECT_EQ(std::vector<std::string>(frames.begin(), frames.begin() + 7),
            (std::vector<std::string>{
                "3f12c04b040e0c000104001314151601011d0076",  // v0 on
                "3f12c04b04470d000104000202020201010100b9",  // v1 off
                "3f12c04b04df0e000104000401010101011d00e6",  // v2 on
                "3f12c04b04b00f0001040007010101010101007f",  // v3 off
                "3f12c04b04bb0b000000002b2b2b2b010101005b",  // commit
                "3f08c0470400ffff00da",                      // confirm
                "3f08c007040c000000b8",                      // first read-back: v0
            }));
  EXPECT_EQ(device_->settings.vibration[2], 0x1D);
  EXPECT_TRUE(model().values().at("v2"));
  EXPECT_TRUE(model().values().at("v0"));
}

TEST_F(ModelWrite, GestureUsesItsFixedFramesAndConfirm) {
  EXPECT_EQ(write("gesture", false), std::optional<bool>(false));
  const auto frames = sent();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], "3f12c0480507050100000000ffffffffffff0022");
  EXPECT_EQ(frames[1], "3f08c0440500ffff00c3");
  EXPECT_EQ(device_->settings.gesture, 0);
}

TEST_F(ModelWrite, LockIsWrittenAsItsWholePayload) {
  EXPECT_EQ(write("lock", true), std::optional<bool>(true));
  EXPECT_TRUE(device_->settings.locked);
  EXPECT_EQ(sent().front().substr(10, 8), "02ff0000");
}

TEST_F(ModelWrite, DeviceThatKeepsItsValueFailsAndClearsTheValues) {
  device_->settings.ignoreWrites = true;
  EXPECT_EQ(write("light", true), kCalledWithoutValue);
  EXPECT_EQ(model().message(), "保存失败：已发送，但设备回读未确认，请刷新重新读取");
  EXPECT_TRUE(model().values().empty());
}

TEST_F(ModelWrite, VibrationReadBackMismatchFails) {
  device_->settings.ignoreWrites = true;
  EXPECT_EQ(write("v1", true), kCalledWithoutValue);
  EXPECT_EQ(model().message(), "保存失败：震动配置回读不一致，请刷新重新读取");
}

TEST_F(ModelWrite, ExchangeFailureEndsTheWriteWithItsMessage) {
  device_->fault = sim::ReplyFault::drop;
  EXPECT_EQ(write("flex", false), kCalledWithoutValue);
  EXPECT_EQ(model().message(),
            "保存失败：设备响应超时，请退出官方 IQOS 程序后重试，请刷新重新读取");
  EXPECT_EQ(sent().size(), 1u);
}

TEST_F(ModelWrite, RefusedWhenUnknownOrBusyWithoutCallingBack) {
  bool called = false;
  const auto callback = [&](std::optional<bool>) { called = true; };
  model().writeSetting(Setting{"unknown", "Unknown", "", 144, 0, {}, 0, 1, 0}, true, callback);
  EXPECT_FALSE(model().busy());
  model().refresh(false);
  model().writeSetting(*findSetting("flex"), false, callback);
  settle();
  EXPECT_FALSE(called);
  EXPECT_EQ(sent().size(), 19u) << "only the status read";
}

TEST_F(ModelWrite, ForgetDuringAWriteAnswersWithoutAValue) {
  bool called = false;
  model().writeSetting(*findSetting("auto"), true, [&](std::optional<bool> confirmed) {
    called = true;
    EXPECT_FALSE(confirmed);
  });
  model().forgetDevice();
  settle();
  EXPECT_TRUE(called);
  EXPECT_TRUE(model().values().empty());
}

class ModelVibrationUnknown : public testing::ModelTest {};

TEST_F(ModelVibrationUnknown, WriteNeedsAllFourVibrationValues) {
  auto state = sim::ilumaOne();
  state.settings.vibration[3] = 0x07;  // neither on nor off: v3 stays unknown
  auto device = connected(std::move(state));
  const std::size_t before = device->frameLog.size();
  std::optional<bool> confirmed = true;
  model().writeSetting(*findSetting("v1"), true, [&](std::optional<bool> c) { confirmed = c; });
  settle();
  EXPECT_FALSE(confirmed);
  EXPECT_EQ(model().message(), "保存失败：请先成功读取四项震动设置，请刷新重新读取");
  EXPECT_TRUE(model().values().empty());
  EXPECT_EQ(device->frameLog.size(), before);
}

}  // namespace
}  // namespace nimbra
