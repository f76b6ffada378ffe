#include <algorithm>

#include "app/controller.h"

// The screen state, the page load and rendering.

namespace nimbra {

ScreenState Controller::screenState() const {
  ScreenState state;
  const bool isActive = active();
  const bool cable = cablePresent();
  const bool read = model_->updated().has_value();

  state.preferences = presentation_;
  state.effectiveLanguage = effectiveLanguage_(presentation_.language);
  state.connected = isActive;
  state.busy =
      cable && ((model_->busy() && !model_->backgroundReading()) || connection_.hasPending());
  state.initialReading = startupLoading_;
  state.connectionFailed = isActive && !initialLoadFinished_ && !startupLoading_;
  if (connection_.runs()) state.connectionAttempt = std::max(1, connection_.attempt());
  state.cablePresent = cable;
  if (isActive && !model_->selected().empty()) state.serial = maskSerial(model_->selected());
  if (isActive) state.message = model_->powerHint() ? kPowerHintMessage : model_->message();
  if (isActive && read) {
    state.sample = samples_.lastSample();
    state.settings = model_->values();
  }
  state.recent = samples_.samples();
  state.storageError = samples_.storageError() ? samples_.storageError() : preferencesError_;
  state.history = history_.history();
  state.archiveCount = history_.archiveCount();
  state.directoryCount = history_.directoryCount();
  state.historyError = history_.shownError();
  state.observations = history_.observations();
  state.analyzing = history_.analysisRuns();
  state.readingHistory = history_.readingHistory() || history_.retryScheduled();
  if (isActive && battery_.batteryEstimate()) {
    state.estimatedUses = battery_.batteryEstimate()->predictedUses;
  }
  if (isActive) state.sessionStartedAt = session_.startedAt();
  if (isActive && resetSupported() && !history_.analysisRuns() && !history_.retryScheduled() &&
      !reset_.awaited()) {
    state.resetTarget = connectionId_;
  }
  state.resetStatus = reset_.resetStatus();
  state.resetWaiting = reset_.awaited();
  state.settingRecords = settingJournal_->records();
  state.settingJournalError = settingJournal_->error();
  state.maintenanceRecords = maintenanceRecords_;
  state.appUpdate = updater_.state();
  if (accessRefused()) state.accessFix = accessFix_();
  state.usageData = usageData_;
  return state;
}

void Controller::render() {
  std::shared_ptr<PageView> page = web_.lock();
  if (!page) return;
  page->render(encodeScreenState(screenState()));
}

void Controller::pageFinishedLoading() {
  ready_ = true;
  if (std::shared_ptr<PageView> page = web_.lock()) {
    configureSharing(*page);
    configureServices(*page);
  }
  publish();
  std::shared_ptr<PageView> page = web_.lock();
  if (!page) return;
  page->probeReadiness([weak = weak_from_this()](bool ready) {
    std::shared_ptr<Controller> self = weak.lock();
    if (ready && self) self->updater_.writeHealthMarker(self->arguments_);
  });
}

void Controller::configureSharing(PageView& page) {
  nlohmann::ordered_json sharing;
  sharing["url"] = sharing_.link();
  sharing["qr"] = sharing_.qrDataURL(false).value_or("");
  sharing["qrDark"] = sharing_.qrDataURL(true).value_or("");
  std::string text;
  try {
    text = sharing.dump();
  } catch (const nlohmann::json::exception&) {
    return;  // a link that is not UTF-8: the page keeps its own placeholder
  }
  page.evaluate("window.configureSharing(" + text + ")");
}

// What the page cannot tell from the screen state: whether records are analysed (and a
// battery estimate can come) at all, and where updates come from ("server", "package" for
// the system's package manager, "none").
void Controller::configureServices(PageView& page) {
  nlohmann::ordered_json services;
  services["analysis"] = history_.analysisAvailable();
  services["updates"] = updateSourceName(updater_.source());
  page.evaluate("window.configureServices(" + services.dump() + ")");
}

}  // namespace nimbra
