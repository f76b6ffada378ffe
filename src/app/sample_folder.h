#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/battery_estimator.h"
#include "app/sample_writer.h"
#include "app/session_tracking.h"
#include "core/clock.h"
#include "core/main_queue.h"
#include "core/uuid.h"
#include "device/model.h"
#include "storage/device_sample.h"
#include "storage/device_store.h"
#include "storage/local_storage.h"
#include "telemetry/telemetry.h"

namespace nimbra {

// Folds each new status read of the served device into one DeviceSample: the session it
// reports, the battery estimate it asks for, the telemetry device record, and the day files of
// the sample store with the recent list the page shows.
//
// The store's appends go through a SampleWriter (sample_writer.h). A folded sample joins the
// recent list at once; when its append fails the list gives it back and the storage error
// says so, and an outcome that changes what the page shows is announced through `changed`.
//
// Main thread only.
class SampleFolder {
 public:
  static constexpr char kStoreOpenFailedMessage[] = "本机数据库无法打开，设备读取仍可用。";
  static constexpr char kSampleNotSavedMessage[] = "本次采样未能保存到本机数据库。";

  // The telling and the estimate go to `session` and `battery`, which outlive the folder.
  // `writerThread`: appends on a thread of their own (SampleWriter). `changed` runs on the
  // main queue when an append's outcome, arriving later, changed the recent list or the
  // storage error.
  SampleFolder(MainQueue& queue, const Model& model, const Clock& clock, Telemetry& telemetry,
               SessionTracker& session, BatteryEstimator& battery, bool writerThread,
               std::function<void()> changed);

  // Opens the sample store; without it reading goes on and nothing is stored.
  void openStore(LocalStorage storage);
  // foldSample: once per update time of the model. `deviceKey` is the served device,
  // `connection` the current connectionId; nothing is sent to telemetry while `paused`.
  void fold(const std::string& deviceKey, const Uuid& connection, bool paused);
  // The telemetry device record of lastSample, sent when it changed or a minute passed.
  void reportDevice(const std::string& deviceKey, const Uuid& connection, bool paused);
  // Device change: the samples and the device record described the device that left.
  void clear();

  const std::optional<DeviceSample>& lastSample() const { return lastSample_; }
  const std::vector<DeviceSample>& samples() const { return samples_; }
  const std::optional<std::string>& storageError() const { return storageError_; }
  const std::optional<Date>& uploadedDeviceAt() const { return uploadedDeviceAt_; }

 private:
  // The benchmark fills the state a long run would produce.
  friend class ControllerPeer;

  void store(const std::string& deviceKey);
  // True when the outcome changed the recent list or the storage error.
  bool applyOutcome(const SampleWriter::Outcome& outcome, uint64_t generation, double observedAt);

  const Model& model_;
  const Clock& clock_;
  Telemetry& telemetry_;
  SessionTracker& session_;
  BatteryEstimator& battery_;

  DeviceProfile profile_ = DeviceProfile::iqosIlumaOne();
  std::function<void()> changed_;
  // Counts clear(): an outcome for the device before leaves the new device's list alone.
  uint64_t generation_ = 0;
  bool storing_ = false;  // inside store(), whose caller shows what changed
  std::optional<std::string> storageError_;
  std::optional<DeviceSample> lastSample_;
  std::optional<Telemetry::Device> uploadedDevice_;
  std::optional<Date> uploadedDeviceAt_;
  std::vector<DeviceSample> samples_;
  // Last: destroyed first, so no outcome arrives at a half-destroyed folder.
  SampleWriter writer_;
};

}  // namespace nimbra
