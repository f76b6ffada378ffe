#include "sim/simulated_settings.h"

#include <algorithm>
#include <utility>

#include "devicelink/iqos_device.h"
#include "sim/simulated_device.h"

namespace nimbra::sim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kResetCommand = 2;
constexpr int kLockCommand = 16;
constexpr int kVibrationCommand = 19;
constexpr int kGestureCommand = 20;
constexpr int kFlexCommand = 137;
constexpr int kLightCommand = 144;
constexpr int kAutostartCommand = 147;

using iqos::kFirstVibrationSelector;
constexpr uint8_t kVibrationCommitSelector = 0x0B;
constexpr std::size_t kStagingPayload = 14;

const Bytes kConfirmPayload{0x00, 0xFF, 0xFF, 0x00};
const Bytes kLockOn(iqos::kLockOnPayload.begin(), iqos::kLockOnPayload.end());
const Bytes kLockOff(iqos::kLockOffPayload.begin(), iqos::kLockOffPayload.end());
const Bytes kRefused{0x02, 0x00, 0x00, 0x00};
const Bytes kZeroPayload{0x00, 0x00, 0x00, 0x00};

// The middle bytes of each vibration alert's configuration record.
constexpr std::array<std::array<uint8_t, 4>, 4> kVibrationPatterns{{
    {0x13, 0x14, 0x15, 0x16},
    {0x02, 0x02, 0x02, 0x02},
    {0x04, 0x01, 0x01, 0x01},
    {0x07, 0x01, 0x01, 0x01},
}};

ControlAnswer ok(Bytes payload = {}) { return {false, std::move(payload), false}; }
ControlAnswer refused() { return {false, kRefused, true}; }

std::chrono::steady_clock::time_point now(const SimulatedDeviceState& device) {
  return device.clock ? device.clock() : std::chrono::steady_clock::now();
}

bool rebooting(const SimulatedDeviceState& device, int hop) {
  const auto t = now(device);
  for (const int silent : {hop, 0}) {
    const auto it = device.reset.silentUntil.find(silent);
    if (it != device.reset.silentUntil.end() && t < it->second) return true;
  }
  return false;
}

ControlAnswer answerReset(SimulatedDeviceState& device, int hop) {
  if (device.reset.leaveBus) {
    device.present = false;
    std::exchange(device.reset.leaveBus, nullptr)();
    return {true, {}, false};
  }
  device.reset.silentUntil[hop] = now(device) + device.reset.rebootTime;
  const auto reply = device.reset.replyPayloads.find(hop);
  return ok(reply == device.reset.replyPayloads.end() ? Bytes{} : reply->second);
}

// light, flex and autostart: a 4-byte record whose value byte is written in place. A read
// names the record by its selector (light has none); the device refuses any other.
ControlAnswer answerOneByte(SimulatedSettings& settings, uint8_t& value, std::size_t offset,
                            const Bytes& record, const Bytes& selector, bool flag,
                            std::span<const uint8_t> payload) {
  if (!flag) {
    if (!std::ranges::equal(payload, selector)) return refused();
    Bytes reply = record;
    reply[offset] = value;
    return ok(reply);
  }
  if (payload.size() != 4) return refused();
  if (!settings.ignoreWrites) value = payload[offset];
  return ok();
}

bool isConfirm(std::span<const uint8_t> payload) {
  return std::ranges::equal(payload, kConfirmPayload);
}

ControlAnswer answerGesture(SimulatedSettings& settings, bool flag,
                            std::span<const uint8_t> payload) {
  if (!flag) return ok({0x05, 0x01, 0x00, 0x00, settings.gesture, 0x00, 0x00, 0x00});
  if (isConfirm(payload)) {
    if (!settings.stagedGesture) return refused();
    if (!settings.ignoreWrites) settings.gesture = *settings.stagedGesture;
    settings.stagedGesture.reset();
    return ok();
  }
  if (payload.size() != kStagingPayload) return refused();
  settings.stagedGesture = payload[5];
  return ok();
}

Bytes vibrationRecord(const SimulatedSettings& settings, std::size_t index) {
  const auto& pattern = kVibrationPatterns[index];
  return {static_cast<uint8_t>(kFirstVibrationSelector + index),
          0x00,
          0x01,
          0x04,
          0x00,
          pattern[0],
          pattern[1],
          pattern[2],
          pattern[3],
          0x01,
          0x01,
          settings.vibration[index],
          0x00};
}

ControlAnswer confirmVibration(SimulatedSettings& settings) {
  if (!settings.vibrationCommitted) return refused();
  for (std::size_t i = 0; i < settings.vibration.size(); ++i) {
    if (settings.stagedVibration[i] && !settings.ignoreWrites) {
      settings.vibration[i] = *settings.stagedVibration[i];
    }
    settings.stagedVibration[i].reset();
  }
  settings.vibrationCommitted = false;
  return ok();
}

ControlAnswer answerVibration(SimulatedSettings& settings, bool flag,
                              std::span<const uint8_t> payload) {
  if (payload.empty()) return refused();
  if (!flag) {
    const std::size_t index = payload[0] - kFirstVibrationSelector;
    if (payload[0] < kFirstVibrationSelector || index >= settings.vibration.size()) {
      return refused();
    }
    return ok(vibrationRecord(settings, index));
  }
  if (isConfirm(payload)) return confirmVibration(settings);
  if (payload.size() != kStagingPayload) return refused();
  if (payload[1] == kVibrationCommitSelector) {
    settings.vibrationCommitted = true;
    return ok();
  }
  const std::size_t index = payload[1] - kFirstVibrationSelector;
  if (payload[1] < kFirstVibrationSelector || index >= settings.vibration.size()) {
    return refused();
  }
  settings.stagedVibration[index] = payload[12];
  return ok();
}

ControlAnswer answerLock(SimulatedSettings& settings, bool flag, std::span<const uint8_t> payload) {
  if (!flag) return ok(settings.locked ? kLockOn : kLockOff);
  const bool on = std::ranges::equal(payload, kLockOn);
  if (!on && !std::ranges::equal(payload, kLockOff)) return refused();
  if (!settings.ignoreWrites) settings.locked = on;
  return ok();
}

std::optional<ControlAnswer> answerSetting(SimulatedSettings& settings, int hop, int command,
                                           bool flag, std::span<const uint8_t> payload) {
  if (hop == 0 && command == kLightCommand) {
    return answerOneByte(settings, settings.light, 0, kZeroPayload, {}, flag, payload);
  }
  if (hop == 1 && command == kFlexCommand) {
    const Bytes record{0x03, 0x00, 0x00, 0x00};
    return answerOneByte(settings, settings.flex, 1, record, record, flag, payload);
  }
  if (hop == 0 && command == kAutostartCommand) {
    const Bytes record{0x01, 0x00, 0x00, 0x00};
    return answerOneByte(settings, settings.autostart, 1, record, record, flag, payload);
  }
  if (hop == 0 && command == kGestureCommand) return answerGesture(settings, flag, payload);
  if (hop == 0 && command == kVibrationCommand) return answerVibration(settings, flag, payload);
  if (hop == 0 && command == kLockCommand) return answerLock(settings, flag, payload);
  return std::nullopt;
}

}  // namespace

std::optional<ControlAnswer> answerControl(SimulatedDeviceState& device, int hop, int command,
                                           bool flag, std::span<const uint8_t> payload) {
  if (rebooting(device, hop)) return ControlAnswer{true, {}, false};
  if (device.switchedOff) {
    // Only the control module's identity still answers.
    if (hop == 0 && (command == 0 || command == 1)) return std::nullopt;
    return refused();
  }
  if (command == kResetCommand && flag && std::ranges::equal(payload, kZeroPayload)) {
    return answerReset(device, hop);
  }
  return answerSetting(device.settings, hop, command, flag, payload);
}

}  // namespace nimbra::sim
