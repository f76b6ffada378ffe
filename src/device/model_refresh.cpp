// Model's status read and live status read.

#include <string>

#include "core/hex.h"
#include "device/exchange.h"
#include "device/frames.h"
#include "device/model.h"
#include "device/open_device.h"
#include "devicelink/iq.h"

namespace nimbra {
namespace {

constexpr int kLiveStatusCommand = 129;
constexpr int kLiveStatusHop = 1;
constexpr std::size_t kLiveStatusLength = 4;

std::optional<std::string> readLiveStatusOnDevice(const std::string& serial, uint32_t epoch) {
  OpenDevice device(serial, epoch);
  if (!device.isOpen()) return std::nullopt;
  const auto payload = exchange(makeFrame(kLiveStatusCommand, kLiveStatusHop, {}, false));
  if (!payload.ok() || payload->size() != kLiveStatusLength) return std::nullopt;
  return hexString(*payload);
}

std::string readDoneMessage(const std::vector<Reading>& rows, int settingsRead) {
  const auto good = std::count_if(rows.begin(), rows.end(), [](const Reading& r) { return r.ok; });
  return kReadDonePrefix + std::to_string(good) + kReadDoneRows + std::to_string(settingsRead) +
         kReadDoneSuffix;
}

}  // namespace

void Model::refresh(bool automatic) {
  if (busy()) return;
  backgroundReading_ = automatic && updated().has_value();
  busy_ = true;
  queue_.async([ticket = takeTicket(), handoff = handoff(), model = this] {
    std::vector<Device> devices = parseScan(iq_scan());
    const std::string chosen = chooseDevice(devices, ticket.serial);
    // The device list is shown while the readings are still being taken.
    handoff([model, ticket, devices = std::move(devices), chosen] {
      model->applyScan(ticket, devices, chosen);
    });
    std::optional<StatusReadResult> read;
    if (!chosen.empty()) read = readStatus(chosen, ticket.epoch);
    handoff([model, ticket, read = std::move(read)] { model->finishStatusRead(ticket, read); });
  });
}

void Model::applyScan(const DeviceTicket& ticket, std::vector<Device> devices,
                      const std::string& chosen) {
  if (!isCurrent(ticket)) return;
  devices_ = std::move(devices);
  selected_ = chosen;
  if (chosen.empty() || chosen != ticket.serial) clearDeviceState();
}

void Model::finishStatusRead(const DeviceTicket& ticket,
                             const std::optional<StatusReadResult>& read) {
  endOperation();
  if (!isCurrent(ticket)) return;
  openRefused_ = read && openRefusedForPermission(read->openStatus);
  if (!read) {
    clearDeviceState();
    message_ = kNoDeviceMessage;
  } else if (read->openStatus != 0) {
    clearDeviceState();
    message_ = kOpenFailedPrefix + std::to_string(read->openStatus) + kOpenFailedSuffix;
  } else {
    publishStatusRead(*read);
  }
}

void Model::publishStatusRead(const StatusReadResult& read) {
  rows_ = read.rows;
  values_ = read.values;
  if (read.powerHint) {
    powerHint_ = std::string(kPowerHintText);
    updated_ = std::nullopt;
    message_ = kSwitchedOffMessage;
    return;
  }
  powerHint_ = std::nullopt;
  const bool anyGood =
      std::any_of(read.rows.begin(), read.rows.end(), [](const Reading& row) { return row.ok; });
  updated_ = anyGood ? std::optional<Date>(clock_.now()) : std::nullopt;
  message_ = readDoneMessage(read.rows, read.catalogueSettingsRead);
}

void Model::readLiveStatus(std::function<void(std::optional<std::string>)> done) {
  if (busy() || selected().empty()) return;
  const DeviceTicket ticket = takeTicket();
  backgroundReading_ = true;
  busy_ = true;
  runOnDevice<std::optional<std::string>>(
      [ticket] { return readLiveStatusOnDevice(ticket.serial, ticket.epoch); },
      [this, ticket, done = std::move(done)](std::optional<std::string> status) {
        endOperation();
        if (!isCurrent(ticket) || selected() != ticket.serial) return;
        done(std::move(status));
      });
}

}  // namespace nimbra
