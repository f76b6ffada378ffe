#pragma once

// The simulated device's user settings, module reset, "switched off" mode and frame log: the
// state tests set, and the dispatch hook that simulated_device.cpp asks before its status
// commands. Thread: whoever owns the device state; nothing here locks.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace nimbra::sim {

struct SimulatedDeviceState;

// The settings as the device keeps them, raw bytes as the reads report them.
struct SimulatedSettings {
  uint8_t light = 0x64;  // 0x64 strong, 0x1E weak
  uint8_t flex = 1;
  uint8_t autostart = 0;
  uint8_t gesture = 1;
  std::array<uint8_t, 4> vibration{0x1D, 0x01, 0x1D, 0x01};  // 0x1D on, 0x01 off
  bool locked = false;

  // Acknowledge every write but keep the old values (a device that does not take a write).
  bool ignoreWrites = false;

  // Writes staged by the gesture and vibration frames, applied by their confirm frame.
  std::optional<uint8_t> stagedGesture;
  std::array<std::optional<uint8_t>, 4> stagedVibration;
  bool vibrationCommitted = false;
};

struct SimulatedModuleReset {
  // After acknowledging a reset the module answers nothing for this long; the control module
  // (hop 0) carries every frame, so its reboot silences both hops.
  std::chrono::milliseconds rebootTime{0};
  // Payload a hop answers a reset with instead of the empty acknowledgement.
  std::map<int, std::vector<uint8_t>> replyPayloads;
  // Hop → end of its reboot.
  std::map<int, std::chrono::steady_clock::time_point> silentUntil;
  // When set, the first module to take a reset drops the device off the bus instead of
  // answering (a reboot that re-enumerates): no acknowledgement, every later request fails,
  // and this is called once, on the device's thread, so a test can unplug the device from its
  // USB bus too. The host then never sees the reset complete.
  std::function<void()> leaveBus;
};

// One frame the device received, as sent (without the report's padding).
struct LoggedFrame {
  std::vector<uint8_t> bytes;
  std::thread::id thread;  // the thread that wrote it
};

// How the hook answers a frame it handles.
struct ControlAnswer {
  bool silent = false;  // rebooting: no reply at all
  std::vector<uint8_t> payload;
  bool applicationError = false;
};

// The answer for settings, module reset, a switched-off device or a rebooting module; nothing
// when the ordinary status dispatch should answer.
std::optional<ControlAnswer> answerControl(SimulatedDeviceState& device, int hop, int command,
                                           bool flag, std::span<const uint8_t> payload);

}  // namespace nimbra::sim
