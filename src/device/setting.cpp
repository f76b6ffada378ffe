#include "device/setting.h"

#include <algorithm>
#include <string_view>

#include "devicelink/iqos_device.h"

namespace nimbra {
namespace {

constexpr int kVibrationCommand = 19;
constexpr int kVibrationOffset = 11;
constexpr uint8_t kVibrationOn = 0x1D;
constexpr uint8_t kVibrationOff = 0x01;
constexpr uint8_t kFirstVibrationSelector = 0x0C;

constexpr std::array<std::string_view, kVibrationCount> kVibrationTitles{
    "开始加热震动（Start heating）",
    "准备就绪震动（Ready to use）",
    "最后一口前震动（Nearly finished）",
    "结束后震动（Experience ended）",
};

std::array<Setting, kCatalogueSize> buildCatalogue() {
  std::array<Setting, kCatalogueSize> catalogue{{
      {"light", "灯光强度（Illumination mode）", "强光 100 / 弱光 30", 144, 0, {}, 0, 0x64, 0x1E},
      {"flex", "弹性吸用（FlexPuff）", "弹性吸用", 137, 1, {0x03, 0x00, 0x00, 0x00}, 1, 1, 0},
      {"auto",
       "自动开始（Autostart）",
       "保存自动开始偏好",
       147,
       0,
       {0x01, 0x00, 0x00, 0x00},
       1,
       1,
       0},
      {kGestureId,
       "智能手势（Smart gestures）",
       "已实测的手势总开关",
       20,
       0,
       {0x05, 0x01, 0x00, 0x00},
       4,
       1,
       0},
  }};
  for (std::size_t i = 0; i < kVibrationCount; ++i) {
    catalogue[4 + i] =
        Setting{"v" + std::to_string(i),
                std::string(kVibrationTitles[i]),
                "震动提醒",
                kVibrationCommand,
                0,
                {static_cast<uint8_t>(kFirstVibrationSelector + i), 0x00, 0x00, 0x00},
                kVibrationOffset,
                kVibrationOn,
                kVibrationOff};
  }
  return catalogue;
}

bool equals(std::span<const uint8_t> payload, std::span<const uint8_t> expected) {
  return std::ranges::equal(payload, expected);
}

}  // namespace

bool Setting::isLock() const { return id == kLockId; }

bool Setting::isVibration() const { return id.starts_with('v'); }

const std::array<Setting, kCatalogueSize>& settingCatalogue() {
  static const std::array<Setting, kCatalogueSize> catalogue = buildCatalogue();
  return catalogue;
}

const Setting& lockSetting() {
  static const Setting lock{kLockId, "家长锁", "", 16, 0, {}, 0, 2, 0};
  return lock;
}

const Setting* findSetting(std::string_view id) {
  for (const Setting& setting : settingCatalogue()) {
    if (setting.id == id) return &setting;
  }
  return id == kLockId ? &lockSetting() : nullptr;
}

const Setting& vibrationSetting(std::size_t index) { return settingCatalogue().at(4 + index); }

std::optional<bool> decodeSetting(const Setting& setting, std::span<const uint8_t> payload) {
  if (setting.isLock()) {
    if (equals(payload, iqos::kLockOnPayload)) return true;
    if (equals(payload, iqos::kLockOffPayload)) return false;
    return std::nullopt;
  }
  if (setting.offset < 0 || static_cast<std::size_t>(setting.offset) >= payload.size()) {
    return std::nullopt;
  }
  const uint8_t byte = payload[static_cast<std::size_t>(setting.offset)];
  if (byte == setting.on) return true;
  if (byte == setting.off) return false;
  return std::nullopt;
}

}  // namespace nimbra
