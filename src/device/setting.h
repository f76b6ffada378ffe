#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace nimbra {

// One writable on/off setting of the device: where it is read and written, and which byte of
// the reply carries its value.
struct Setting {
  std::string id;  // key in Model::values() and in page messages
  std::string title;
  std::string detail;
  int command = 0;
  int hop = 0;
  std::vector<uint8_t> selector;  // read request payload; base of the write payload
  int offset = 0;                 // value byte in the read reply and in the write payload
  uint8_t on = 0;
  uint8_t off = 0;

  bool isLock() const;
  bool isVibration() const;
};

inline constexpr std::size_t kCatalogueSize = 8;
inline constexpr std::size_t kVibrationCount = 4;

inline constexpr char kLockId[] = "lock";
inline constexpr char kGestureId[] = "gesture";

// The eight catalogue settings in their fixed order: light, flex, auto, gesture, v0 .. v3.
// Built once; any thread.
const std::array<Setting, kCatalogueSize>& settingCatalogue();

// The parental lock: read after the catalogue and writable, but not part of it.
const Setting& lockSetting();

// The catalogue setting or the lock with this id; null for any other id.
const Setting* findSetting(std::string_view id);

// The vibration setting "v<index>", index 0 .. 3.
const Setting& vibrationSetting(std::size_t index);

// The value a read reply carries for `setting`: true, false, or nothing when the payload is
// too short or holds neither the on nor the off value. The lock is carried by the whole
// payload (02 FF 00 00 / 00 00 00 00). Pure; any thread.
std::optional<bool> decodeSetting(const Setting& setting, std::span<const uint8_t> payload);

}  // namespace nimbra
