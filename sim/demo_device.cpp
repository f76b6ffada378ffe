#include "sim/demo_device.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/hex.h"
#include "sim/simulated_hid_backend.h"

namespace nimbra::sim {

// The device and the backend that shows it, shared by the DemoDevice (main thread) and every
// backend it made (connection thread). `mutex` guards `backend` and `*device`.
struct DemoDevice::Shared {
  std::mutex mutex;
  SimulatedHidBackend backend{SimulatedTime::realClock};
  std::shared_ptr<SimulatedDeviceState> device;
};

namespace {

constexpr int kCalibration = 100;
// The format byte of the use records the analysis server understands.
constexpr uint8_t kUseRecordFormat = 18;
constexpr int64_t kMaxCatchUpSeconds = 3600;
constexpr int kRoomTemperature = 25;
constexpr auto kPollSlice = std::chrono::milliseconds(2);

using Shared = DemoDevice::Shared;

void putU16(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  bytes[at] = static_cast<uint8_t>(value & 0xFF);
  bytes[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

void putU32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  putU16(bytes, at, value & 0xFFFF);
  putU16(bytes, at + 2, value >> 16);
}

uint32_t u16(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes.size() < at + 2 ? 0 : bytes[at] | (bytes[at + 1] << 8);
}

// Raw battery voltage in millivolts: 3.3 V empty, 4.2 V full.
int voltageRawFor(int charge) { return 3300 + 9 * charge; }

// The connection lets the simulated device be touched only under the shared lock. A read
// never holds the lock while it waits: it asks for a report already due, and otherwise
// sleeps a slice outside the lock, so tick() on the main thread is never kept waiting.
class LockedConnection final : public HidConnection {
 public:
  LockedConnection(std::shared_ptr<Shared> shared, std::unique_ptr<HidConnection> inner)
      : shared_(std::move(shared)), inner_(std::move(inner)) {}

  int write(std::span<const uint8_t, kHidReportSize> report) override {
    std::lock_guard lock(shared_->mutex);
    return inner_->write(report);
  }

  int read(std::span<uint8_t, kHidReportSize> buffer, std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      {
        std::lock_guard lock(shared_->mutex);
        const int result = inner_->read(buffer, std::chrono::milliseconds(0));
        if (result != 0) return result;
      }
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return 0;
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(kPollSlice, deadline - now));
    }
  }

  void discardQueued() override {
    std::lock_guard lock(shared_->mutex);
    inner_->discardQueued();
  }

 private:
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<HidConnection> inner_;
};

class LockedBackend final : public HidBackend {
 public:
  explicit LockedBackend(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  std::vector<HidDeviceInfo> enumerate(uint16_t vendorId, uint16_t productId) override {
    std::lock_guard lock(shared_->mutex);
    return shared_->backend.enumerate(vendorId, productId);
  }

  HidOpenResult open(const std::string& path) override {
    std::lock_guard lock(shared_->mutex);
    HidOpenResult opened = shared_->backend.open(path);
    if (opened.connection) {
      opened.connection = std::make_unique<LockedConnection>(shared_, std::move(opened.connection));
    }
    return opened;
  }

 private:
  std::shared_ptr<Shared> shared_;
};

std::string trimmed(std::string text) {
  const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
  text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), isSpace));
  text.erase(std::find_if_not(text.rbegin(), text.rend(), isSpace).base(), text.end());
  return text;
}

}  // namespace

std::optional<DemoControlFile::Command> DemoControlFile::poll() {
  std::ifstream in(path_);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  in.close();
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
  const std::string command = trimmed(text.str());
  if (command == "unplug") return Command::unplug;
  if (command == "plug") return Command::plug;
  if (command == "session") return Command::session;
  if (command == "manual") return Command::manual;
  if (command == "report") return Command::report;
  if (command == "deny") return Command::deny;
  if (command == "allow") return Command::allow;
  if (command == "full") return Command::full;
  if (command == "drain") return Command::drain;
  return std::nullopt;
}

DemoDevice::DemoDevice(Date start, DemoPacing pacing, std::string serial)
    : pacing_(pacing),
      serial_(std::move(serial)),
      shared_(std::make_shared<Shared>()),
      bus_(std::make_shared<SimulatedUsbBus>()),
      lastStep_(start),
      nextSessionAt_(pacing.firstSessionAfter.count()) {
  SimulatedDeviceState device = ilumaOne(serial_);
  // Calibration block: the battery estimate needs 24 bytes with the value in bytes 2-3.
  std::vector<uint8_t> calibration(24, 0);
  putU16(calibration, 0, 10000);
  putU16(calibration, 2, kCalibration);
  device.readings[{0, 128}] = std::move(calibration);
  // The software for which nimbra offers a module reset (control 150.6.1, engine 102.6.0),
  // so the demo shows it; both modules acknowledge the reset (command 2) with an empty reply.
  device.readings[{0, 0}] = {0x01, 0x00, 150,  6,    1,    0x23, 0x01,
                             0x03, 0x01, 0x00, 0x05, 0x02, 0x01, 0x07};
  device.readings[{1, 0}] = {0x02, 0x00, 102,  6,    0,    0x45, 0x00,
                             0x03, 0x01, 0x00, 0x04, 0x00, 0x02, 0x05};
  device.readings[{0, 2}] = {};
  device.readings[{1, 2}] = {};
  // A history with some past: sessions, charges and a few system records.
  device.history.records = {{{0, 0, 24}, {1, 0, 6}, {2, 0, 3}, {3, 0, 0}}};
  // The use records (directory 0) in the form the analysis server reads; the others as any.
  device.history.makeEntry = [](int directory, uint32_t position) {
    if (directory != 0) return generatedEntry(directory, position);
    const std::size_t length = 40 + (position * 29) % 120;
    return makeHistoryEntry(0x80 | kUseRecordFormat, length, static_cast<uint8_t>(position));
  };
  shared_->device = shared_->backend.addDevice(std::move(device));
  publish();
  bus_->attach(kPort, SimulatedUsbBus::ilumaOne(serial_));
}

DemoDevice::~DemoDevice() = default;

std::unique_ptr<HidBackend> DemoDevice::makeBackend() {
  return std::make_unique<LockedBackend>(shared_);
}

void DemoDevice::tick(Date now) {
  std::optional<DemoControlFile::Command> command;
  if (control_) command = control_->poll();
  // The report shows the device as the program last read it; every other command happens
  // now, after the seconds since the last tick (which may be many: ticks come only when
  // something is due) have run.
  if (command == DemoControlFile::Command::report && report_) report_(snapshot());
  const int64_t seconds = std::chrono::floor<std::chrono::seconds>(now - lastStep_).count();
  if (seconds > 0) {
    lastStep_ += std::chrono::seconds(seconds);
    for (int64_t i = 0; i < std::min(seconds, kMaxCatchUpSeconds); ++i) step();
  }
  if (command) {
    switch (*command) {
      case DemoControlFile::Command::unplug:
        setPlugged(false);
        break;
      case DemoControlFile::Command::plug:
        setPlugged(true);
        break;
      case DemoControlFile::Command::session:
        startSession();
        break;
      case DemoControlFile::Command::manual:
        stopAutomaticSessions();
        break;
      case DemoControlFile::Command::report:
        break;
      case DemoControlFile::Command::deny:
        setAccessDenied(true);
        break;
      case DemoControlFile::Command::allow:
        setAccessDenied(false);
        break;
      case DemoControlFile::Command::full:
        setCharge(100);
        break;
      case DemoControlFile::Command::drain:
        setCharge(kDrainedCharge);
        break;
    }
  }
  if (seconds > 0) publish();
}

std::optional<Date> DemoDevice::nextChangeAt() const {
  std::optional<int64_t> next;
  auto consider = [&](int64_t at) {
    at = std::max(at, elapsed_ + 1);
    if (!next || at < *next) next = at;
  };
  if (sessionStartedAt_ || temperature_ > kRoomTemperature) consider(elapsed_ + 1);
  if (elapsed_ < endedCodeUntil_) consider(endedCodeUntil_);
  if (plugged_ && charge_ < 100) consider(lastChargeAt_ + pacing_.chargeEvery.count());
  if (automaticSessions_) consider(nextSessionAt_);
  if (!next) return std::nullopt;
  return lastStep_ + std::chrono::seconds(*next - elapsed_);
}

void DemoDevice::setPlugged(bool plugged) {
  if (plugged == plugged_) return;
  plugged_ = plugged;
  lastChargeAt_ = elapsed_;
  // The HID side goes first on unplugging and last on plugging in, so whoever hears of the
  // change from the bus finds the device as the bus says.
  if (!plugged) {
    std::lock_guard lock(shared_->mutex);
    shared_->device->present = false;
  }
  if (plugged) {
    {
      std::lock_guard lock(shared_->mutex);
      shared_->device->present = true;
    }
    bus_->attach(kPort, SimulatedUsbBus::ilumaOne(serial_));
  } else {
    bus_->detach(kPort);
  }
}

void DemoDevice::setAccessDenied(bool denied) {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->device->openErrno = denied ? EACCES : 0;
  }
  if (!denied && plugged_) bus_->change(kPort);
}

void DemoDevice::setCharge(int percent) {
  charge_ = std::clamp(percent, 0, 100);
  lastChargeAt_ = elapsed_;
  publish();
}

void DemoDevice::startSession() {
  if (sessionStartedAt_) return;
  beginSession();
  publish();
}

void DemoDevice::step() {
  ++elapsed_;
  if (sessionStartedAt_) {
    const int64_t inSession = elapsed_ - *sessionStartedAt_;
    temperature_ = std::min(temperature_ + 1, 45);
    if (inSession >= pacing_.heating.count() &&
        elapsed_ - lastPuffAt_ >= pacing_.puffEvery.count()) {
      ++puffCount_;
      lastPuffAt_ = elapsed_;
    }
    if (elapsed_ - lastDrainAt_ >= pacing_.drainEvery.count() && charge_ > 0) {
      --charge_;
      lastDrainAt_ = elapsed_;
    }
    if (inSession >= pacing_.sessionLength.count() || charge_ == 0) endSession();
    return;
  }
  if (temperature_ > kRoomTemperature) --temperature_;
  if (plugged_ && charge_ < 100 && elapsed_ - lastChargeAt_ >= pacing_.chargeEvery.count()) {
    ++charge_;
    lastChargeAt_ = elapsed_;
    if (charge_ == 100) {
      std::lock_guard lock(shared_->mutex);
      ++shared_->device->history.records[1].end;  // a completed charge
    }
  }
  if (automaticSessions_ && elapsed_ >= nextSessionAt_) {
    if (charge_ >= pacing_.minimumChargeForSession) {
      beginSession();
    } else {
      nextSessionAt_ = elapsed_ + pacing_.sessionEvery.count();
    }
  }
}

void DemoDevice::beginSession() {
  sessionStartedAt_ = elapsed_;
  lastDrainAt_ = elapsed_;
  lastPuffAt_ = elapsed_;
  nextSessionAt_ = elapsed_ + pacing_.sessionEvery.count();
}

void DemoDevice::endSession() {
  sessionStartedAt_.reset();
  ++processCount_;
  endedCodeUntil_ = elapsed_ + pacing_.endedCodeFor.count();
  lastChargeAt_ = elapsed_;
  std::lock_guard lock(shared_->mutex);
  ++shared_->device->history.records[0].end;  // the session's own record
}

// Writes the device's life into the answers it gives.
void DemoDevice::publish() {
  std::string live = kIdleCode;
  if (sessionStartedAt_) {
    live = elapsed_ - *sessionStartedAt_ < pacing_.heating.count() ? "0542ff7f" : "0546ff7f";
  } else if (elapsed_ < endedCodeUntil_) {
    live = "0840ff7f";
  }
  std::vector<uint8_t> battery(4, 0);
  putU16(battery, 0, static_cast<uint32_t>(voltageRawFor(charge_)));
  battery[2] = static_cast<uint8_t>(charge_);
  battery[3] = static_cast<uint8_t>(temperature_);
  // Counters: process count in bytes 0-1, cumulative puffs in bytes 10-13.
  std::vector<uint8_t> counters(24, 0);
  putU16(counters, 0, static_cast<uint32_t>(processCount_));
  putU32(counters, 10, static_cast<uint32_t>(puffCount_));

  std::lock_guard lock(shared_->mutex);
  auto& readings = shared_->device->readings;
  readings[{0, 385}] = std::move(battery);
  readings[{1, 129}] = *parseHex(live);
  readings[{1, 134}] = std::move(counters);
}

void DemoDevice::withState(const std::function<void(SimulatedDeviceState&)>& use) const {
  std::lock_guard lock(shared_->mutex);
  use(*shared_->device);
}

std::string demoSnapshotJson(const DemoSnapshot& snapshot) {
  const SimulatedSettings& settings = snapshot.settings;
  nlohmann::ordered_json catalog = nlohmann::ordered_json::array();
  for (const CatalogRecord& record : snapshot.catalog) {
    catalog.push_back(
        {{"directory", record.directory}, {"start", record.start}, {"end", record.end}});
  }
  nlohmann::ordered_json json = {
      {"plugged", snapshot.plugged},
      {"inSession", snapshot.inSession},
      {"liveStatus", snapshot.liveStatus},
      {"charge", snapshot.charge},
      {"processCount", snapshot.processCount},
      {"puffCount", snapshot.puffCount},
      {"catalog", std::move(catalog)},
      {"settings",
       {{"light", settings.light},
        {"flex", settings.flex},
        {"auto", settings.autostart},
        {"gesture", settings.gesture},
        {"vibration", settings.vibration},
        {"locked", settings.locked}}},
  };
  return json.dump();
}

DemoSnapshot DemoDevice::snapshot() const {
  DemoSnapshot snapshot;
  snapshot.plugged = plugged_;
  snapshot.inSession = sessionStartedAt_.has_value();
  std::lock_guard lock(shared_->mutex);
  const SimulatedDeviceState& device = *shared_->device;
  const std::vector<uint8_t>& battery = device.readings.at({0, 385});
  const std::vector<uint8_t>& counters = device.readings.at({1, 134});
  snapshot.liveStatus = hexString(device.readings.at({1, 129}));
  snapshot.voltageRaw = static_cast<int>(u16(battery, 0));
  snapshot.charge = battery[2];
  snapshot.temperatureRaw = battery[3];
  snapshot.processCount = static_cast<int>(u16(counters, 0));
  snapshot.puffCount = static_cast<int>(u16(counters, 10) | (u16(counters, 12) << 16));
  snapshot.catalog = device.history.records;
  snapshot.settings = device.settings;
  return snapshot;
}

}  // namespace nimbra::sim
