#include <optional>
#include <span>

#include "app/controller.h"
#include "core/dates.h"
#include "core/hex.h"
#include "core/sha256.h"

// Folding each new read into a stored sample, the session it reports, the battery estimate
// and the telemetry device record, and the completions of setting writes and module resets.
// Main thread only.

namespace nimbra {
namespace {

constexpr char kSampleNotSavedMessage[] = "本次采样未能保存到本机数据库。";
constexpr char kResetFirmware[] = "150.6.1";
constexpr char kResetEngine[] = "102.6.0";
constexpr char kDeviceName[] = "IQOS ILUMA i ONE";
constexpr char kDeviceKind[] = "device";
// The same device record is sent again only after this long.
constexpr std::chrono::seconds kDeviceReportInterval{60};

const Reading* findRow(const std::vector<Reading>& rows, int command, int module) {
  for (const Reading& row : rows) {
    if (row.ok && row.command == command && row.module == module) return &row;
  }
  return nullptr;
}

std::vector<uint8_t> rawBytes(const Reading* row) {
  if (!row) return {};
  return parseHex(row->raw).value_or(std::vector<uint8_t>{});
}

int64_t littleEndian(std::span<const uint8_t> bytes, size_t at, size_t count) {
  int64_t value = 0;
  for (size_t i = 0; i < count; ++i) value |= int64_t{bytes[at + i]} << (8 * i);
  return value;
}

// The formatted value up to the first " · ".
std::optional<std::string> leadingText(const Reading* row) {
  if (!row) return std::nullopt;
  return row->value.substr(0, row->value.find(" · "));
}

}  // namespace

void Controller::foldSample() {
  const std::optional<Date>& updated = model_->updated();
  if (!updated) return;
  double observedAt = secondsSince1970(*updated);
  if (lastSample_ && lastSample_->observedAt == observedAt) return;  // folded already

  const std::vector<Reading>& rows = model_->rows();
  if (const Reading* status = findRow(rows, 129, 1)) {
    session_.track(status->raw, observedAt);
  } else {
    session_.track(std::nullopt, observedAt);
  }

  std::vector<uint8_t> battery = rawBytes(findRow(rows, 385, 0));
  std::vector<uint8_t> calibration = rawBytes(findRow(rows, 128, 0));
  std::vector<uint8_t> counters = rawBytes(findRow(rows, 134, 1));

  DeviceSample sample;
  sample.observedAt = observedAt;
  if (battery.size() >= 4) {
    if (battery[2] <= 100) sample.battery = battery[2];
    sample.voltageADC = littleEndian(battery, 0, 2);
    sample.temperatureRaw = battery[3];
  }
  if (counters.size() == 24) {
    sample.processCount = littleEndian(counters, 0, 2);
    sample.cumulativePuffCount = littleEndian(counters, 10, 4);
  }
  sample.firmware = leadingText(findRow(rows, 0, 0));
  sample.engine = leadingText(findRow(rows, 0, 1));
  sample.settings = model_->values();

  if (sample.battery && sample.voltageADC != 0 && calibration.size() == 24) {
    int64_t calibrationValue = littleEndian(calibration, 2, 2);
    if (calibrationValue >= 1 && calibrationValue <= 255) {
      HistoryAPI::BatteryInput input;
      input.charge = *sample.battery;
      input.adc = *sample.voltageADC;
      input.calibration = calibrationValue;
      startBatteryEstimate(input);
    }
  }

  lastSample_ = sample;
  reportDevice();

  if (!store_) {
    samples_.clear();
    return;
  }
  std::string key = sha256Hex(deviceKey());
  Status appended = store_->append(sample, profile_, key);
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

// One estimate per charge value: a new request replaces (and aborts) the one in flight, and
// a failure forgets the input so the next folded sample asks again.
void Controller::startBatteryEstimate(const HistoryAPI::BatteryInput& input) {
  if (batteryInput_ && batteryInput_->charge == input.charge) return;
  batteryInput_ = input;
  if (batteryTask_) batteryTask_->cancel();
  batteryTask_ = HistoryAPI::estimateBattery(
      queue_, analysisEndpoint_, installationId_(), input,
      [weak = weak_from_this(), input](Result<HistoryAPI::BatteryEstimate> estimate) {
        if (auto self = weak.lock()) self->batteryEstimateFinished(input, std::move(estimate));
      });
}

void Controller::batteryEstimateFinished(const HistoryAPI::BatteryInput& input,
                                         Result<HistoryAPI::BatteryEstimate> estimate) {
  // A cancelled request never completes; one that was replaced by a newer input is dropped.
  if (!batteryInput_ || *batteryInput_ != input) return;
  batteryTask_.reset();
  if (estimate) {
    bool changed = !batteryEstimate_ || batteryEstimate_->predictedUses != estimate->predictedUses;
    batteryEstimate_ = *estimate;
    if (!initialLoadFinished_ || changed) publish();
  } else {
    batteryInput_.reset();
    if (!initialLoadFinished_) publish();
  }
}

// The device as telemetry knows it. Counters and versions the sample lacks keep the values
// last sent, so a read that missed a row does not look like a different device.
void Controller::reportDevice() {
  Telemetry::Device device{
      .connectionId = connectionId_,
      .brand = profile_.brand,
      .model = profile_.model,
      .modelName = kDeviceName,
      .serial = deviceKey(),
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
  if (paused_) return;
  Date now = clock_.now();
  bool due = !uploadedDevice_ || device != *uploadedDevice_ || !uploadedDeviceAt_ ||
             now - *uploadedDeviceAt_ >= kDeviceReportInterval;
  if (!due) return;
  if (telemetry_.record(kDeviceKind, std::nullopt, device, now)) {
    uploadedDevice_ = device;
    uploadedDeviceAt_ = now;
  }
}

void Controller::settingWriteFinished(std::optional<bool> state, const Uuid& record,
                                      const std::string& key) {
  if (state) {
    settingJournal_->complete(record, SettingRecord::Values{{key, *state}},
                              SettingRecord::Result::confirmed);
  }
  publish();
}

void Controller::resetFinished(bool acknowledged, const Uuid& connection, const Uuid& record) {
  if (connection != connectionId_ || !cablePresent()) return;
  resetStatus_ = acknowledged ? "acknowledged" : "unconfirmed";
  if (acknowledged) {
    settingJournal_->complete(record, std::nullopt, SettingRecord::Result::confirmed);
  }
  historyStarted_ = false;
  analyzedCatalog_.reset();
  history_.reset();
  model_->refresh(false);
  publish();
}

// The wait after a module reset ends in one of two ways, each completing the journal record
// exactly once:
// - recovered: the same device was read again after the earliest time, with firmware and
//   engine; the record gets the settings read then, confirmed or reconnected.
// - abandoned: the wait cannot end that way any more, because a different device is being
//   served, or it outlasted kResetRecoveryLimit (the device never came back, or never gave a
//   full read). While the wait runs the page's device actions are shut, so it must end; the
//   record stays "unconfirmed" (or keeps the "confirmed" the device's acknowledgement gave it),
//   and a later read of that device no longer completes it.
void Controller::checkResetRecovery() {
  if (queue_.now() < resetRecovery_->earliest) return;
  if (!resetRecovered()) {
    std::string key = deviceKey();
    bool otherDevice = !key.empty() && key != resetRecovery_->serial;
    if (otherDevice || queue_.now() >= resetRecovery_->latest) abandonResetRecovery();
    if (otherDevice) resetStatus_.reset();  // it described the device that left
    return;
  }
  Uuid record = resetRecovery_->record;
  resetRecovery_.reset();
  if (resetStatus_ == "running") resetStatus_ = "unconfirmed";
  settingJournal_->complete(record, model_->values(),
                            resetStatus_ == "acknowledged" ? SettingRecord::Result::confirmed
                                                           : SettingRecord::Result::reconnected);
}

bool Controller::resetRecovered() const {
  if (!cablePresent() || deviceKey() != resetRecovery_->serial) return false;
  const std::optional<Date>& updated = model_->updated();
  if (!updated || *updated <= resetRecovery_->started) return false;
  return lastSample_ && lastSample_->observedAt == secondsSince1970(*updated) &&
         lastSample_->firmware && lastSample_->engine;
}

void Controller::abandonResetRecovery() {
  Uuid record = resetRecovery_->record;
  resetRecovery_.reset();
  if (resetStatus_ == "acknowledged") return;  // completed as confirmed by the acknowledgement
  resetStatus_ = "unconfirmed";
  settingJournal_->complete(record, std::nullopt, SettingRecord::Result::unconfirmed);
}

bool Controller::resetSupported() const {
  bool served = false;
  for (const Device& device : model_->devices()) {
    if (device.id == model_->selected() && device.name == kDeviceName) served = true;
  }
  const std::optional<Date>& updated = model_->updated();
  return served && updated && lastSample_ &&
         lastSample_->observedAt == secondsSince1970(*updated) &&
         lastSample_->firmware == kResetFirmware && lastSample_->engine == kResetEngine;
}

}  // namespace nimbra
