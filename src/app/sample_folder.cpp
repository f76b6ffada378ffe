#include "app/sample_folder.h"

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

SampleFolder::SampleFolder(const Model& model, const Clock& clock, Telemetry& telemetry,
                           SessionTracker& session, BatteryEstimator& battery)
    : model_(model), clock_(clock), telemetry_(telemetry), session_(session), battery_(battery) {}

void SampleFolder::openStore(LocalStorage storage) {
  Result<DeviceStore> store = DeviceStore::open(std::move(storage), clock_);
  if (store) {
    store_.emplace(std::move(*store));
  } else {
    storageError_ = kStoreOpenFailedMessage;
  }
}

void SampleFolder::clear() {
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
  if (!store_) {
    samples_.clear();
    return;
  }
  std::string key = sha256Hex(deviceKey);
  Status appended = store_->append(*lastSample_, profile_, key);
  Result<std::vector<DeviceSample>> recent =
      appended ? store_->recent(profile_, key)
               : Result<std::vector<DeviceSample>>(appended.error());
  if (recent) {
    samples_ = std::move(*recent);
    storageError_.reset();
  } else {
    storageError_ = kSampleNotSavedMessage;
  }
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
