#include "device/setting_write.h"

#include <array>
#include <vector>

#include "core/hex.h"
#include "device/exchange.h"
#include "device/frames.h"
#include "device/open_device.h"
#include "device/setting_frames.h"
#include "devicelink/iq.h"
#include "devicelink/iqos_device.h"

namespace nimbra {
namespace {

using Bytes = std::vector<uint8_t>;

// Sends a frame and keeps only whether it was answered without error.
Status send(std::span<const uint8_t> frame) {
  auto reply = exchange(frame);
  if (!reply.ok()) return reply.error();
  return {};
}

Status sendFixed(std::string_view hex) { return send(fixedFrame(hex)); }

Bytes oneByteWritePayload(const Setting& setting, bool requested) {
  if (setting.isLock()) {
    const auto& payload = requested ? iqos::kLockOnPayload : iqos::kLockOffPayload;
    return Bytes(payload.begin(), payload.end());
  }
  Bytes payload = setting.selector.empty() ? Bytes(4, 0x00) : setting.selector;
  payload.at(static_cast<std::size_t>(setting.offset)) = requested ? setting.on : setting.off;
  return payload;
}

Status writeGesture(bool requested) {
  if (Status sent = sendFixed(requested ? kGestureOnFrame : kGestureOffFrame); !sent.ok()) {
    return sent;
  }
  return sendFixed(kGestureConfirmFrame);
}

// All four vibration states go out together, then commit and confirm; each state is then read
// back at its value byte before the requested setting's own read-back.
Status writeVibration(const Setting& setting, bool requested, const SettingValues& before) {
  std::array<bool, kVibrationCount> desired{};
  for (std::size_t i = 0; i < kVibrationCount; ++i) {
    const Setting& vibration = vibrationSetting(i);
    const auto known = before.find(vibration.id);
    if (known == before.end()) return iqosError(kVibrationUnknownMessage);
    desired[i] = vibration.id == setting.id ? requested : known->second;
  }
  for (std::size_t i = 0; i < kVibrationCount; ++i) {
    const auto& frames = kVibrationFrames[i];
    if (Status sent = sendFixed(desired[i] ? frames.on : frames.off); !sent.ok()) return sent;
  }
  if (Status sent = sendFixed(kVibrationCommitFrame); !sent.ok()) return sent;
  if (Status sent = sendFixed(kVibrationConfirmFrame); !sent.ok()) return sent;

  for (std::size_t i = 0; i < kVibrationCount; ++i) {
    const Setting& vibration = vibrationSetting(i);
    auto payload = exchange(makeFrame(vibration.command, vibration.hop, vibration.selector, false));
    if (!payload.ok()) return payload.error();
    const auto offset = static_cast<std::size_t>(vibration.offset);
    const uint8_t expected = desired[i] ? vibration.on : vibration.off;
    if (offset >= payload->size() || (*payload)[offset] != expected) {
      return iqosError(kVibrationReadBackMessage);
    }
  }
  return {};
}

Status sendWrite(const Setting& setting, bool requested, const SettingValues& before) {
  if (setting.id == kGestureId) return writeGesture(requested);
  if (setting.isVibration()) return writeVibration(setting, requested, before);
  return send(
      makeFrame(setting.command, setting.hop, oneByteWritePayload(setting, requested), true));
}

Status readBack(const Setting& setting, bool requested) {
  auto payload = exchange(makeFrame(setting.command, setting.hop, setting.selector, false));
  if (!payload.ok()) return payload.error();
  if (decodeSetting(setting, *payload) != requested) return iqosError(kReadBackUnconfirmedMessage);
  return {};
}

}  // namespace

std::vector<uint8_t> fixedFrame(std::string_view hex) { return parseHex(hex).value_or(Bytes{}); }

Status writeSettingOnDevice(const Setting& setting, bool requested, const SettingValues& before,
                            const std::string& serial, uint32_t epoch) {
  OpenDevice device(serial, epoch);
  if (!device.isOpen()) return iqosError(kWriteOpenFailedMessage);
  Status written = sendWrite(setting, requested, before);
  if (written.ok()) written = readBack(setting, requested);
  return written;
}

}  // namespace nimbra
