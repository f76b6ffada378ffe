// The thirteen fixed frames of the gesture and vibration writes, byte for byte as the device
// documents them, and which of them each write sends. Their length and CRC alone would let a
// swapped pair pass.

#include <gtest/gtest.h>

#include "core/hex.h"
#include "device/setting_frames.h"
#include "device/setting_write.h"
#include "support/simulated_link.h"

namespace nimbra {
namespace {

constexpr const char* kGestureOn = "3f12c0480514050100000100ffffffffffff0009";
constexpr const char* kGestureOff = "3f12c0480507050100000000ffffffffffff0022";
constexpr const char* kGestureConfirm = "3f08c0440500ffff00c3";
constexpr const char* kVibrationOn[] = {
    "3f12c04b040e0c000104001314151601011d0076", "3f12c04b04130d000104000202020201011d001a",
    "3f12c04b04df0e000104000401010101011d00e6", "3f12c04b04e40f000104000701010101011d00dc"};
constexpr const char* kVibrationOff[] = {
    "3f12c04b045a0c000104001314151601010100d5", "3f12c04b04470d000104000202020201010100b9",
    "3f12c04b048b0e00010400040101010101010045", "3f12c04b04b00f0001040007010101010101007f"};
constexpr const char* kVibrationCommit = "3f12c04b04bb0b000000002b2b2b2b010101005b";
constexpr const char* kVibrationConfirm = "3f08c0470400ffff00da";

class SettingWriteFrames : public testing::SimulatedLinkTest {
 protected:
  void SetUp() override {
    SimulatedLinkTest::SetUp();
    device_ = plugIn();
  }
  // The frames one write sends before its read-backs.
  std::vector<std::string> written(const Setting& setting, bool requested,
                                   const SettingValues& before, std::size_t count) {
    const std::size_t from = device_->frameLog.size();
    EXPECT_TRUE(
        writeSettingOnDevice(setting, requested, before, device_->serial, iq_connection_epoch())
            .ok());
    std::vector<std::string> frames;
    for (std::size_t i = from; i < device_->frameLog.size() && frames.size() < count; ++i) {
      frames.push_back(hexString(device_->frameLog[i].bytes));
    }
    return frames;
  }
  static SettingValues vibrations(bool on) {
    return {{"v0", on}, {"v1", on}, {"v2", on}, {"v3", on}};
  }
  std::shared_ptr<sim::SimulatedDeviceState> device_;
};

TEST_F(SettingWriteFrames, EveryFixedFrameIsTheDevicesText) {
  EXPECT_EQ(kGestureOnFrame, kGestureOn);
  EXPECT_EQ(kGestureOffFrame, kGestureOff);
  EXPECT_EQ(kGestureConfirmFrame, kGestureConfirm);
  for (std::size_t i = 0; i < kVibrationCount; ++i) {
    EXPECT_EQ(kVibrationFrames[i].on, kVibrationOn[i]) << "v" << i;
    EXPECT_EQ(kVibrationFrames[i].off, kVibrationOff[i]) << "v" << i;
  }
  EXPECT_EQ(kVibrationCommitFrame, kVibrationCommit);
  EXPECT_EQ(kVibrationConfirmFrame, kVibrationConfirm);
}

TEST_F(SettingWriteFrames, EachWriteSendsTheFramesOfTheStatesItWants) {
  EXPECT_EQ(written(*findSetting("gesture"), true, {}, 2),
            (std::vector<std::string>{kGestureOn, kGestureConfirm}));
  EXPECT_EQ(written(*findSetting("gesture"), false, {}, 2),
            (std::vector<std::string>{kGestureOff, kGestureConfirm}));
  EXPECT_EQ(written(*findSetting("v2"), true, vibrations(true), 6),
            (std::vector<std::string>{kVibrationOn[0], kVibrationOn[1], kVibrationOn[2],
                                      kVibrationOn[3], kVibrationCommit, kVibrationConfirm}));
  EXPECT_EQ(written(*findSetting("v1"), false, vibrations(false), 6),
            (std::vector<std::string>{kVibrationOff[0], kVibrationOff[1], kVibrationOff[2],
                                      kVibrationOff[3], kVibrationCommit, kVibrationConfirm}));
  EXPECT_EQ(written(*findSetting("v3"), true, vibrations(false), 4),
            (std::vector<std::string>{kVibrationOff[0], kVibrationOff[1], kVibrationOff[2],
                                      kVibrationOn[3]}));
}

}  // namespace
}  // namespace nimbra
