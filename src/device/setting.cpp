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

constexpr std::array<std::string_view, kVibrationCount> kVibrationTitles{
    "开始加热震动（Start heating）",
    "准备就绪震动（Ready to use）",
    "最后一口前震动（Nearly finished）",
    "结束后震动（Experience ended）",
};

std::array<Setting, kCatalogueSize> buildCatalogue() {
  std::array<Setting, kCatalogueSize> catalogue{{
      {.id = "light",
       .title = "灯光强度（Illumination mode）",
       .detail = "强光 100 / 弱光 30",
       .command = 144,
       .hop = 0,
       .selector = {},
       .offset = 0,
       .on = 0x64,
       .off = 0x1E},
      {.id = "flex",
       .title = "弹性吸用（FlexPuff）",
       .detail = "弹性吸用",
       .command = 137,
       .hop = 1,
       .selector = {0x03, 0x00, 0x00, 0x00},
       .offset = 1,
       .on = 1,
       .off = 0},
      {.id = "auto",
       .title = "自动开始（Autostart）",
       .detail = "保存自动开始偏好",
       .command = 147,
       .hop = 0,
       .selector = {0x01, 0x00, 0x00, 0x00},
       .offset = 1,
       .on = 1,
       .off = 0},
      {.id = kGestureId,
       .title = "智能手势（Smart gestures）",
       .detail = "已实测的手势总开关",
       .command = 20,
       .hop = 0,
       .selector = {0x05, 0x01, 0x00, 0x00},
       .offset = 4,
       .on = 1,
       .off = 0},
  }};
  for (std::size_t i = 0; i < kVibrationCount; ++i) {
    catalogue[4 + i] = Setting{
        .id = "v" + std::to_string(i),
        .title = std::string(kVibrationTitles[i]),
        .detail = "震动提醒",
        .command = kVibrationCommand,
        .hop = 0,
        .selector = {static_cast<uint8_t>(iqos::kFirstVibrationSelector + i), 0x00, 0x00, 0x00},
        .offset = kVibrationOffset,
        .on = kVibrationOn,
        .off = kVibrationOff};
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
  static const Setting lock{.id = kLockId,
                            .title = "家长锁",
                            .detail = "",
                            .command = 16,
                            .hop = 0,
                            .selector = {},
                            .offset = 0,
                            .on = 2,
                            .off = 0};
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
