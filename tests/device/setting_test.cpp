#include "device/setting.h"

#include <gtest/gtest.h>

#include "core/hex.h"
#include "device/frames.h"
#include "device/setting_frames.h"
#include "devicelink/crc8.h"

namespace nimbra {
namespace {

using Bytes = std::vector<uint8_t>;

const Setting& setting(std::string_view id) {
  const Setting* found = findSetting(id);
  EXPECT_NE(found, nullptr) << id;
  return *found;
}

std::string readFrameHex(std::string_view id) {
  const Setting& s = setting(id);
  return hexString(makeFrame(s.command, s.hop, s.selector, false));
}

TEST(SettingCatalogue, ListsTheEightSettingsInOrderWithoutTheLock) {
  std::vector<std::string> ids;
  for (const Setting& s : settingCatalogue()) ids.push_back(s.id);
  EXPECT_EQ(ids,
            (std::vector<std::string>{"light", "flex", "auto", "gesture", "v0", "v1", "v2", "v3"}));
  EXPECT_EQ(lockSetting().id, "lock");
  EXPECT_EQ(lockSetting().title, "家长锁");
  EXPECT_EQ(findSetting("lock"), &lockSetting());
  EXPECT_EQ(findSetting("v4"), nullptr);
}

TEST(SettingCatalogue, VibrationEntriesCarryTheirTitlesAndSelectors) {
  EXPECT_EQ(setting("v0").title, "开始加热震动（Start heating）");
  EXPECT_EQ(setting("v3").title, "结束后震动（Experience ended）");
  EXPECT_EQ(setting("v2").selector, (Bytes{0x0E, 0x00, 0x00, 0x00}));
  EXPECT_EQ(setting("v1").detail, "震动提醒");
}

TEST(SettingCatalogue, ReadFramesMatchTheDeviceExamples) {
  EXPECT_EQ(readFrameHex("light"), "3f04c00024fc");
  EXPECT_EQ(readFrameHex("v0"), "3f08c007040c000000b8");
}

TEST(SettingDecoding, OneByteSettingsNeedTheOnOrOffValueAtTheOffset) {
  EXPECT_EQ(decodeSetting(setting("flex"), Bytes{0x00, 0x01}), true);
  EXPECT_EQ(decodeSetting(setting("flex"), Bytes{0x00, 0x07}), std::nullopt);
  EXPECT_EQ(decodeSetting(setting("flex"), Bytes{0x01}), std::nullopt);
  EXPECT_EQ(decodeSetting(setting("light"), Bytes{0x64}), true);
  EXPECT_EQ(decodeSetting(setting("light"), Bytes{0x1E}), false);
  EXPECT_EQ(decodeSetting(setting("light"), Bytes{0x50}), std::nullopt);
  EXPECT_EQ(decodeSetting(setting("light"), Bytes{}), std::nullopt);
}

TEST(SettingDecoding, VibrationValueSitsAtByteEleven) {
  const Bytes on = *parseHex("0c000104001314151601011d00");
  const Bytes off = *parseHex("0c0001040013141516010101");
  EXPECT_EQ(decodeSetting(setting("v0"), on), true);
  EXPECT_EQ(decodeSetting(setting("v0"), off), false);
  EXPECT_EQ(decodeSetting(setting("v0"), Bytes(11, 0x1D)), std::nullopt);
}

TEST(SettingDecoding, LockIsCarriedByTheWholePayload) {
  EXPECT_EQ(decodeSetting(lockSetting(), Bytes{0x02, 0xFF, 0x00, 0x00}), true);
  EXPECT_EQ(decodeSetting(lockSetting(), Bytes{0x00, 0x00, 0x00, 0x00}), false);
  EXPECT_EQ(decodeSetting(lockSetting(), Bytes{0x02, 0xFF, 0x00, 0x01}), std::nullopt);
  EXPECT_EQ(decodeSetting(lockSetting(), Bytes{0x02}), std::nullopt);
}

// The fixed frames are typed in by hand; a slip would be sent to the device verbatim.
TEST(SettingFrames, EveryFixedFrameIsWellFormed) {
  std::vector<std::string_view> frames{kGestureOnFrame, kGestureOffFrame, kGestureConfirmFrame,
                                       kVibrationCommitFrame, kVibrationConfirmFrame};
  for (const auto& pair : kVibrationFrames) {
    frames.push_back(pair.on);
    frames.push_back(pair.off);
  }
  for (const auto hex : frames) {
    const Bytes frame = fixedFrame(hex);
    ASSERT_GE(frame.size(), 6u) << hex;
    EXPECT_EQ(frame.size(), frame[1] + 2u) << hex;
    EXPECT_EQ(crc8(std::span<const uint8_t>(frame).subspan(3, frame.size() - 4)), frame.back())
        << hex;
  }
}

}  // namespace
}  // namespace nimbra
