#include "app/sample_folder.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "core/dates.h"
#include "core/sha256.h"
#include "device/sample_readings.h"

namespace nimbra {
namespace {

constexpr char kDeviceName[] = "IQOS ILUMA i ONE";
constexpr char kDeviceKind[] = "device";
// The same device record is sent again only after this long.
constexpr std::chrono::seconds kDeviceReportInterval{60};

DeviceSample makeSample(double observedAt, const SampleReadings& readings,
                        const SettingValues& settings) {
  DeviceSample sample;
  sample.observedAt = observedAt;
  sample.battery = readings.battery;
  sample.voltageADC = readings.voltageADC;
  sample.temperatureRaw = readings.temperatureRaw;
  sample.processCount = readings.processCount;
  sample.cumulativePuffCount = readings.cumulativePuffCount;
  sample.firmware = readings.firmware;
  sample.engine = readings.engine;
  sample.settings = settings;
  return sample;
}

HistoryAPI::BatteryInput estimateInput(const SampleReadings::BatteryInput& reading) {
  HistoryAPI::BatteryInput input;
  input.charge = reading.charge;
  input.adc = reading.adc;
  input.calibration = reading.calibration;
  return input;
}

}  // namespace

SampleFolder::SampleFolder(MainQueue& queue, const Model& model, const Clock& clock,
                           Telemetry& telemetry, SessionTracker& session, BatteryEstimator& battery,
                           bool writerThread, std::function<void()> changed)
    : model_(model),
      clock_(clock),
      telemetry_(telemetry),
      session_(session),
      battery_(battery),
      changed_(std::move(changed)),
      writer_(queue, writerThread) {}

void SampleFolder::openStore(LocalStorage storage) {
  Result<DeviceStore> store = DeviceStore::open(std::move(storage), clock_);
  if (store) {
    writer_.open(std::move(*store));
  } else {
    storageError_ = kStoreOpenFailedMessage;
  }
}

void SampleFolder::clear() {
  ++generation_;
  uploadedDevice_.reset();
  lastSample_.reset();
  samples_.clear();
}

void SampleFolder::fold(const std::string& deviceKey, const Uuid& connection, bool paused) {
  const std::optional<Date>& updated = model_.updated();
  if (!updated) return;
  double observedAt = secondsSince1970(*updated);
  if (lastSample_ && lastSample_->observedAt == observedAt) return;  // folded already

  SampleReadings readings = decodeSampleReadings(model_.rows());
  session_.track(readings.sessionCode, observedAt);
  if (readings.batteryInput) battery_.start(estimateInput(*readings.batteryInput));
  lastSample_ = makeSample(observedAt, readings, model_.values());
  reportDevice(deviceKey, connection, paused);
  store(deviceKey);
}

void SampleFolder::store(const std::string& deviceKey) {
  if (!writer_.isOpen()) {
    samples_.clear();
    return;
  }
  // What the store's recent list will be once the append is written: shown now, so a poll
  // pushes one state, not a second one when the write is done.
  samples_.push_back(*lastSample_);
  if (samples_.size() > DeviceStore::kRecentCount) samples_.erase(samples_.begin());
  double observedAt = lastSample_->observedAt;
  storing_ = true;
  writer_.append(*lastSample_, profile_, sha256Hex(deviceKey),
                 [this, generation = generation_, observedAt](SampleWriter::Outcome outcome) {
                   if (applyOutcome(outcome, generation, observedAt) && !storing_ && changed_) {
                     changed_();
                   }
                 });
  storing_ = false;
}

bool SampleFolder::applyOutcome(const SampleWriter::Outcome& outcome, uint64_t generation,
                                double observedAt) {
  std::optional<std::string> error;
  if (!outcome.appended || !outcome.recent) error = kSampleNotSavedMessage;
  bool changed = error != storageError_;
  storageError_ = error;
  if (generation != generation_) return changed;  // the list belongs to another device now
  // A later append's outcome is on its way and already shown: its list settles this one.
  if (writer_.pending() > 0) return changed;
  if (outcome.recent) {
    // After a failed append too: the store's day is as it was, and so is its list.
    if (*outcome.recent != samples_) {
      samples_ = *outcome.recent;
      changed = true;
    }
    return changed;
  }
  auto shown = std::find_if(samples_.begin(), samples_.end(), [observedAt](const DeviceSample& s) {
    return s.observedAt == observedAt;
  });
  if (shown != samples_.end()) {
    samples_.erase(shown);
    changed = true;
  }
  return changed;
}

// The device as telemetry knows it. Counters and versions the sample lacks keep the values
// last sent, so a read that missed a row does not look like a different device.
void SampleFolder::reportDevice(const std::string& deviceKey, const Uuid& connection, bool paused) {
  Telemetry::Device device{
      .connectionId = connection,
      .brand = profile_.brand,
      .model = profile_.model,
      .modelName = kDeviceName,
      .serial = deviceKey,
      .puffs = lastSample_->cumulativePuffCount,
      .sticks = lastSample_->processCount,
      .firmware = lastSample_->firmware,
      .engine = lastSample_->engine,
  };
  if (uploadedDevice_) {
    if (!device.puffs) device.puffs = uploadedDevice_->puffs;
    if (!device.sticks) device.sticks = uploadedDevice_->sticks;
    if (!device.firmware) device.firmware = uploadedDevice_->firmware;
    if (!device.engine) device.engine = uploadedDevice_->engine;
  }
  if (paused) return;
  Date now = clock_.now();
  bool due = !uploadedDevice_ || device != *uploadedDevice_ || !uploadedDeviceAt_ ||
             now - *uploadedDeviceAt_ >= kDeviceReportInterval;
  if (!due) return;
  if (telemetry_.record(kDeviceKind, std::nullopt, device, now)) {
    uploadedDevice_ = device;
    uploadedDeviceAt_ = now;
  }
}

}  // namespace nimbra
