#include "app/controller.h"

#include <algorithm>

#include "core/dates.h"

// Start-up, change handling, publish and its timers, the device poll and the live status.

namespace nimbra {

std::shared_ptr<Controller> Controller::create(Seams seams) {
  std::shared_ptr<Controller> controller(new Controller(std::move(seams)));
  controller->start();
  return controller;
}

Controller::Controller(Seams seams)
    : queue_(seams.queue),
      clock_(seams.clock),
      storage_(std::move(seams.storage)),
      settings_(std::move(seams.settings)),
      effectiveLanguage_(std::move(seams.effectiveLanguage)),
      presenceSource_(std::move(seams.presenceSource)),
      telemetry_(seams.telemetry),
      installationId_(std::move(seams.installationId)),
      analysisEndpoint_(std::move(seams.analysisEndpoint)),
      sharing_(seams.sharing),
      updater_(seams.updater),
      arguments_(std::move(seams.arguments)),
      archive_(storage_, clock_),
      presentation_(std::move(seams.presentation)),
      model_(std::make_unique<Model>(queue_, clock_, std::move(seams.sleep))),
      settingJournal_(std::make_unique<SettingJournal>(settings_)),
      maintenanceRecords_(loadMaintenanceRecords(settings_)),
      historyAnalysisRetryAfter_(queue_.now()),
      web_(std::move(seams.page)) {
  if (!effectiveLanguage_) {
    effectiveLanguage_ = [](const std::string& language) {
      return language == "zh" ? std::string("zh") : std::string("en");
    };
  }
}

void Controller::start() {
  std::weak_ptr<Controller> weak = weak_from_this();
  updater_.setOnChange([weak] {
    if (auto self = weak.lock()) self->publish();
  });
  // Without a controller there is no device work to interrupt.
  updater_.setCanInstall([weak] {
    auto self = weak.lock();
    return !self || self->isIdle();
  });

  Result<DeviceStore> store = DeviceStore::open(storage_, clock_);
  if (store) {
    store_.emplace(std::move(*store));
  } else {
    storageError_ = kStoreOpenFailedMessage;
  }

  // The model lives inside the controller and is unsubscribed before it goes.
  observer_ = model_->subscribe([this](ModelProperty) { requestChange(); });

  if (presenceSource_) {
    // The first report comes before create() returns, when usbPresence_ is still empty, so
    // every report goes through the queue.
    auto onChange = [this, weak](const USBPresence::Serials& serials) {
      queue_.post([weak, serials] {
        if (auto self = weak.lock()) self->presenceChanged(serials);
      });
    };
    Result<std::unique_ptr<USBPresence>> presence =
        USBPresence::create(queue_, std::move(presenceSource_), onChange);
    if (presence) usbPresence_ = std::move(*presence);
  }
  if (!usbPresence_) {
    model_->setAutomatic(true);
    model_->refresh(false);
  }
}

Controller::~Controller() {
  if (observer_) model_->unsubscribe(*observer_);
  for (std::optional<TaskHandle>* task :
       {&historyTimer_, &liveStatusTimer_, &analysisTask_, &batteryTask_}) {
    if (*task) (*task)->cancel();
  }
}

void Controller::postSelf(void (Controller::*member)()) {
  queue_.post([weak = weak_from_this(), member] {
    if (auto self = weak.lock()) (self.get()->*member)();
  });
}

TaskHandle Controller::postSelfAfter(MainQueue::Duration delay,
                                     std::function<void(Controller&)> work) {
  return queue_.postAfter(delay, [weak = weak_from_this(), work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
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
  return !connectionSequenceRuns() && !model_->busy() && !readingHistory_ && !sessionRecorded() &&
         !resetRecovery_ && !pendingOperation_ && !analysisRuns() && !startupLoading_;
}

void Controller::requestChange() {
  if (publishQueued_) return;
  publishQueued_ = true;
  postSelf(&Controller::modelChanged);
}

void Controller::modelChanged() {
  publishQueued_ = false;
  if (!model_->busy() && pendingOperation_) {
    PendingOperation operation = std::move(*pendingOperation_);
    pendingOperation_.reset();
    if (operation.serial == model_->selected()) handleAction(operation.request);
  }
  checkConnectionRead();
  performPendingRefresh();
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
    pendingOperation_.reset();
    model_->forgetDevice();
  }
  paused_ = false;
  connectionReadID_.reset();
  connectionReadInFlight_ = false;
  refreshPending_ = false;
  model_->setAutomatic(false);
  if (!serials.empty()) beginConnectionRead();
  publish();
}

void Controller::publish() {
  if (!ready_) return;
  std::string key = deviceKey();
  if (!lastDevice_ || *lastDevice_ != key) {
    lastDevice_ = key;
    resetForDeviceChange();
  }
  if (!key.empty()) foldSample();
  if (resetRecovery_) checkResetRecovery();
  updateTimers();
  updateLoadingState();
  render();
}

void Controller::resetForDeviceChange() {
  if (!resetRecovery_) resetStatus_.reset();
  initialLoadFinished_ = false;
  connectionId_ = Uuid::random();
  uploadedDevice_.reset();
  lastSample_.reset();
  samples_.clear();
  if (batteryTask_) batteryTask_->cancel();
  batteryTask_.reset();
  batteryInput_.reset();
  batteryEstimate_.reset();
  session_.clear();
  history_.reset();
  historyStarted_ = false;
  analyzedCatalog_.reset();
  readingHistory_ = false;
  historyRetryAt_.reset();
  archiveCount_.reset();
  directoryCount_.reset();
  historyError_.reset();
  observations_.reset();
  historyRevision_.reset();
  historyArchiveError_.reset();
  historyNeedsAnalysis_ = true;
  historyAnalysisRetryAfter_ = queue_.now();
  if (analysisTask_) analysisTask_->cancel();
  analysisTask_.reset();
  analysisID_.reset();
}

void Controller::updateTimers() {
  bool polling = !paused_ && (!usbPresence_ || cablePresent());
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
  refreshArchive(deviceKey());
  if (!connectionSequenceRuns() && (!historyStarted_ || historyRetryScheduled() ||
                                    (initialLoadFinished_ && historyCheckRequested_))) {
    startHistoryRead();
  }

  bool settled = !connectionSequenceRuns() && !model_->busy() && !readingHistory_ &&
                 !historyRetryScheduled() && !analysisRuns();
  if (settled && model_->updated() && lastSample_ && historyStarted_ && !batteryTaskRuns()) {
    initialLoadFinished_ = true;
  }
  if (initialLoadFinished_) {
    startupLoading_ = false;
  } else if (settled && !refreshPending_) {
    // Only the battery estimate may still be on its way; without it the load failed.
    startupLoading_ = batteryTaskRuns();
  } else {
    startupLoading_ = true;
  }
}

void Controller::devicePollTick() {
  historyCheckRequested_ = cablePresent();
  bool firstReadDone = cablePresent() && model_->updated().has_value();
  bool searching = !usbPresence_ && !cablePresent();
  if (model_->automatic() && (firstReadDone || searching) && !model_->busy()) {
    model_->refresh(true);
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

}  // namespace nimbra
