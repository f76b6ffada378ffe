#include "app/controller.h"

#include <algorithm>

#include "core/dates.h"

// Start-up and wiring, change handling, publish and its timers, the device poll, the live
// status and the completions of the page's device operations.

namespace nimbra {

std::shared_ptr<Controller> Controller::create(Seams seams) {
  std::unique_ptr<PresenceSource> presenceSource = std::move(seams.presenceSource);
  std::shared_ptr<Controller> controller(new Controller(std::move(seams)));
  controller->start(std::move(presenceSource));
  return controller;
}

// The parts call back into the controller only on the main queue while they exist, and they
// are members, so `this` outlives every call.
Controller::Controller(Seams seams)
    : queue_(seams.queue),
      clock_(seams.clock),
      settings_(std::move(seams.settings)),
      effectiveLanguage_(std::move(seams.effectiveLanguage)),
      telemetry_(seams.telemetry),
      sharing_(seams.sharing),
      updater_(seams.updater),
      arguments_(std::move(seams.arguments)),
      accessFix_(std::move(seams.accessFix)),
      diagnosticsFacts_(std::move(seams.diagnosticsFacts)),
      batteryRead_(std::move(seams.batteryRead)),
      fileChooser_(seams.fileChooser),
      dataStorage_(seams.storage),
      presentation_(std::move(seams.presentation)),
      usageData_(UsageData::load(settings_)),
      model_(std::make_unique<Model>(queue_, clock_, std::move(seams.sleep))),
      settingJournal_(std::make_unique<SettingJournal>(settings_)),
      maintenanceRecords_(loadMaintenanceRecords(settings_)),
      web_(std::move(seams.page)),
      connection_(*model_, queue_,
                  {.mayRead = [this] { return mayRead(); }, .publish = [this] { publish(); }}),
      history_(*model_, queue_, seams.storage, clock_, seams.analysisEndpoint, seams.installationId,
               [this] { publish(); }),
      battery_(queue_, seams.analysisEndpoint, seams.installationId,
               [this](bool changed) { batteryEstimateFinished(changed); }),
      reset_(queue_, *settingJournal_, [this] { publish(); }),
      samples_(queue_, *model_, clock_, telemetry_, session_, battery_, seams.sampleWriterThread,
               [this] { publish(); }) {
  if (!accessFix_) accessFix_ = [] { return DeviceAccess::fixFor(false, std::nullopt); };
  if (!effectiveLanguage_) {
    effectiveLanguage_ = [](const std::string& language) {
      return language == "zh" ? std::string("zh") : std::string("en");
    };
  }
  exportThread_ = seams.sampleWriterThread;
  samples_.openStore(std::move(seams.storage));
  telemetry_.setEnabled(usageData_.enabled);
}

void Controller::start(std::unique_ptr<PresenceSource> presenceSource) {
  std::weak_ptr<Controller> weak = weak_from_this();
  updater_.setOnChange([weak] {
    if (auto self = weak.lock()) self->publish();
  });
  // Without a controller there is no device work to interrupt.
  updater_.setCanInstall([weak] {
    auto self = weak.lock();
    return !self || self->isIdle();
  });

  // The model lives inside the controller and is unsubscribed before it goes.
  observer_ = model_->subscribe([this](ModelProperty) { requestChange(); });

  if (presenceSource) startPresenceMonitor(std::move(presenceSource));
  if (!usbPresence_) {
    model_->setAutomatic(true);
    model_->refresh(false);
  }
}

void Controller::startPresenceMonitor(std::unique_ptr<PresenceSource> presenceSource) {
  // The first report comes before create() returns, when usbPresence_ is still empty, so
  // every report goes through the queue.
  auto onChange = [this, weak = weak_from_this()](const USBPresence::Serials& serials) {
    queue_.post([weak, serials] {
      if (auto self = weak.lock()) self->presenceChanged(serials);
    });
  };
  auto onNodeChange = [this, weak = weak_from_this()](const std::string& serial) {
    queue_.post([weak, serial] {
      if (auto self = weak.lock()) self->deviceNodeChanged(serial);
    });
  };
  Result<std::unique_ptr<USBPresence>> presence =
      USBPresence::create(queue_, std::move(presenceSource), onChange, onNodeChange);
  if (presence) usbPresence_ = std::move(*presence);
}

Controller::~Controller() {
  if (observer_) model_->unsubscribe(*observer_);
  for (std::optional<TaskHandle>* timer : {&historyTimer_, &liveStatusTimer_}) {
    if (*timer) (*timer)->cancel();
  }
}

void Controller::postSelf(void (Controller::*member)()) {
  queue_.post([weak = weak_from_this(), member] {
    if (auto self = weak.lock()) (self.get()->*member)();
  });
}

bool Controller::cablePresent() const {
  if (usbPresence_) return !attached_.empty();
  return !model_->selected().empty();
}

std::string Controller::deviceKey() const {
  return cablePresent() ? model_->selected() : std::string();
}

bool Controller::isIdle() const {
  return !connection_.runs() && !model_->busy() && !history_.readingHistory() &&
         !sessionRecorded() && !reset_.awaited() && !connection_.hasPending() &&
         !history_.analysisRuns() && !startupLoading_;
}

void Controller::requestChange() {
  if (publishQueued_) return;
  publishQueued_ = true;
  postSelf(&Controller::modelChanged);
}

void Controller::modelChanged() {
  publishQueued_ = false;
  if (!model_->busy() && connection_.hasPending()) {
    ConnectionSequence::PendingOperation operation = *connection_.takePending();
    if (operation.serial == model_->selected()) handleAction(operation.request);
  }
  connection_.checkConnectionRead();
  connection_.performPendingRefresh();
  publish();
}

void Controller::presenceChanged(const USBPresence::Serials& serials) {
  if (serials == attached_) return;
  USBPresence::Serials previous = std::move(attached_);
  attached_ = serials;
  // A second device joining keeps the one being served; anything else is a new device.
  bool grew = !previous.empty() && !serials.empty() &&
              std::includes(serials.begin(), serials.end(), previous.begin(), previous.end());
  if (!grew) {
    connection_.dropPending();
    model_->forgetDevice();
  }
  paused_ = false;
  connection_.stop();
  model_->setAutomatic(false);
  if (!serials.empty()) connection_.begin();
  publish();
}

// udev applied its rules to the device again (the user reloaded and triggered them) or its
// node appeared: a device whose open was refused may be opened now, so a fresh connection
// read starts at once instead of at the next gentle retry of the poll.
void Controller::deviceNodeChanged(const std::string& serial) {
  if (attached_.count(serial) == 0 || !accessRefused()) return;
  connection_.begin();
  publish();
}

void Controller::publish() {
  if (!ready_) return;
  std::string key = deviceKey();
  if (!lastDevice_ || *lastDevice_ != key) {
    lastDevice_ = key;
    resetForDeviceChange();
  }
  if (!key.empty()) {
    if (model_->updated()) connection_.markRead();
    samples_.fold(key, connectionId_, paused_);
    tellBatteryRead(key);
  }
  checkResetRecovery();
  updateTimers();
  updateLoadingState();
  noteErrorMoments();
  render();
}

void Controller::tellBatteryRead(const std::string& deviceKey) {
  const std::optional<DeviceSample>& sample = samples_.lastSample();
  if (!batteryRead_ || !sample || sample->observedAt == batteryReadAt_) return;
  batteryReadAt_ = sample->observedAt;
  batteryRead_(deviceKey, sample->battery, effectiveLanguage_(presentation_.language));
}

void Controller::resetForDeviceChange() {
  reset_.deviceChanged();
  initialLoadFinished_ = false;
  connectionId_ = Uuid::random();
  connection_.forgetConnection();
  samples_.clear();
  battery_.clear();
  session_.clear();
  history_.reset(connectionId_);
}

void Controller::checkResetRecovery() {
  if (!reset_.awaited()) return;
  reset_.check({.cablePresent = cablePresent(),
                .deviceKey = deviceKey(),
                .updated = model_->updated(),
                .lastSample = samples_.lastSample(),
                .values = model_->values()});
}

void Controller::updateTimers() {
  bool polling = mayRead();
  if (!polling && historyTimer_) {
    historyTimer_->cancel();
    historyTimer_.reset();
  } else if (polling && !historyTimer_) {
    historyTimer_ =
        queue_.repeat(kDevicePollInterval, kDevicePollTolerance, [weak = weak_from_this()] {
          if (auto self = weak.lock()) self->devicePollTick();
        });
  }

  bool live = sessionRecorded() && cablePresent() && !paused_;
  if (!live && liveStatusTimer_) {
    liveStatusTimer_->cancel();
    liveStatusTimer_.reset();
  } else if (live && !liveStatusTimer_) {
    liveStatusTimer_ =
        queue_.repeat(kLiveStatusInterval, kLiveStatusTolerance, [weak = weak_from_this()] {
          if (auto self = weak.lock()) self->liveStatusTick();
        });
  }
}

void Controller::updateLoadingState() {
  if (!active()) {
    initialLoadFinished_ = false;
    startupLoading_ = false;
    return;
  }
  history_.refreshArchive(deviceKey());
  if (!connection_.runs()) {
    if (history_.wantsRead(initialLoadFinished_)) startHistoryRead();
    // A history retry needs a status reading; after a read that failed completely it would
    // wait for ever and hold the first load (and the page's actions) with it.
    history_.giveUpRetryWithoutReading();
  }

  bool settled = !connection_.runs() && !model_->busy() && !history_.readingHistory() &&
                 !history_.retryScheduled() && !history_.analysisRuns();
  if (settled && model_->updated() && samples_.lastSample() && history_.historyStarted() &&
      !battery_.taskRuns()) {
    initialLoadFinished_ = true;
  }
  if (initialLoadFinished_) {
    startupLoading_ = false;
  } else if (settled && !connection_.refreshPending()) {
    // Only the battery estimate may still be on its way; without it the load failed.
    startupLoading_ = battery_.taskRuns();
  } else {
    startupLoading_ = true;
  }
}

void Controller::startHistoryRead() {
  if (paused_ || !cablePresent()) return;
  history_.startRead(initialLoadFinished_);
}

void Controller::devicePollTick() {
  history_.requestCheck(cablePresent());
  // "Read once" is the connection's latch, not the model's newest read: a read that failed
  // completely, or a module reset, clears the model's update time, and the poll is what
  // reads the device again.
  bool firstReadDone = cablePresent() && connection_.readOnce();
  bool searching = !usbPresence_ && !cablePresent();
  if (model_->automatic() && (firstReadDone || searching) && !model_->busy()) {
    model_->refresh(true);
  } else if (accessRefused() && !connection_.runs() && !model_->busy()) {
    // The gentle retry while the device is refused: permission may come back without any
    // event (a session becoming active again gets its access back from logind). An open
    // that is refused costs next to nothing, and the page shows the fix all the while.
    model_->refresh(false);
  }
  publish();
}

void Controller::liveStatusTick() {
  if (!sessionRecorded() || !model_->automatic() || paused_ || !cablePresent() || model_->busy()) {
    return;
  }
  model_->readLiveStatus(
      [weak = weak_from_this(), connection = connectionId_](std::optional<std::string> code) {
        if (auto self = weak.lock()) self->liveStatusResult(code, connection);
      });
}

void Controller::liveStatusResult(const std::optional<std::string>& code, const Uuid& connection) {
  if (connection != connectionId_ || !sessionRecorded()) return;
  if (session_.track(code, secondsSince1970(clock_.now())) == SessionTracker::Change::ended) {
    publish();
  }
}

void Controller::batteryEstimateFinished(bool changed) {
  if (!initialLoadFinished_ || changed) publish();
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
  reset_.finished(acknowledged, record);
  history_.forgetCatalog();
  model_->refresh(false);
  publish();
}

bool Controller::resetSupported() const {
  static constexpr char kDeviceName[] = "IQOS ILUMA i ONE";
  bool served =
      std::any_of(model_->devices().begin(), model_->devices().end(), [this](const Device& device) {
        return device.id == model_->selected() && device.name == kDeviceName;
      });
  const std::optional<Date>& updated = model_->updated();
  const std::optional<DeviceSample>& sample = samples_.lastSample();
  return served && updated && sample && sample->observedAt == secondsSince1970(*updated) &&
         sample->firmware == "150.6.1" && sample->engine == "102.6.0";
}

}  // namespace nimbra
