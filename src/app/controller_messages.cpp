#include <algorithm>
#include <array>
#include <string_view>

#include "app/controller.h"
#include "core/dates.h"
#include "device/setting.h"

// The page's actions. Each is checked against the current state; one that is not allowed
// is dropped without a reply, as is a body of the wrong shape.

namespace nimbra {
namespace {

using nlohmann::json;

constexpr double kDefaultAnchor = 200;
constexpr std::array<std::string_view, 5> kModules{"home", "history", "settings", "care",
                                                   "preferences"};

const json* member(const json& body, const char* key) {
  auto found = body.find(key);
  return found == body.end() ? nullptr : &*found;
}

std::optional<std::string> stringMember(const json& body, const char* key) {
  const json* value = member(body, key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<bool> boolMember(const json& body, const char* key) {
  const json* value = member(body, key);
  if (!value || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

// A share-picker coordinate: 200 when missing or not a number, never below 0, never past
// the view's edge.
double anchor(const json& body, const char* key, double limit) {
  const json* value = member(body, key);
  double requested = value && value->is_number() ? value->get<double>() : kDefaultAnchor;
  return std::min(limit, std::max(0.0, requested));
}

bool isDeviceOperation(const std::string& action) {
  return action == "disconnect" || action == "history" || action == "setting" || action == "reset";
}

}  // namespace

void Controller::handleAction(const json& body) {
  if (!body.is_object()) return;
  std::optional<std::string> action = stringMember(body, "action");
  if (!action) return;

  if (*action == "share-system") return shareSystem(body);
  if (*action == "share-link") return shareResult(*action, sharing_.copyLink());
  if (*action == "share-qr") {
    return shareResult(*action, sharing_.copyQR(boolMember(body, "dark").value_or(false)));
  }
  if (*action == "check-update") return updater_.checkForUpdates(true);
  if (*action == "copy-access-fix") return shareResult(*action, copyAccessFix());
  if (*action == "copy-diagnostics") return shareResult(*action, copyDiagnostics());
  // The user's say over usage data never waits for the device.
  if (*action == "usage-data") return usageDataAction(body);
  if (*action == "usage-data-notice") return usageNoticeAction();
  // Export reads only what is kept on this computer.
  if (*action == "export") return exportAction(body);

  if (!passesGate(*action)) return;
  if (deferDuringBackgroundRead(*action, body)) return;

  if (*action == "refresh") return refreshAction();
  if (*action == "disconnect") return disconnectAction();
  if (*action == "activity") return activityAction(body);
  if (*action == "preferences") return preferencesAction(body);
  if (*action == "history") return historyAction();
  if (*action == "reset") return resetAction(body);
  if (*action == "setting") return settingAction(body);
}

bool Controller::passesGate(const std::string& action) const {
  if (startupLoading_ || reset_.awaited()) return false;
  return paused_ || !cablePresent() || initialLoadFinished_ || action == "refresh";
}

bool Controller::deferDuringBackgroundRead(const std::string& action, const json& body) {
  if (!isDeviceOperation(action) || !model_->busy() || !model_->backgroundReading()) {
    return false;
  }
  if (!connection_.hasPending() && cablePresent() && !model_->selected().empty()) {
    connection_.defer({model_->selected(), body});
    publish();
  }
  return true;
}

void Controller::shareSystem(const json& body) {
  std::shared_ptr<PageView> page = web_.lock();
  if (!page) return;
  PageView::Size size = page->size();
  // The view's coordinates already run top-down, so y is taken as it comes.
  page->showSharePicker(anchor(body, "x", size.width), anchor(body, "y", size.height));
}

void Controller::shareResult(const std::string& action, bool result) {
  std::shared_ptr<PageView> page = web_.lock();
  if (!page) return;
  page->evaluate("window.sharingResult('" + action + "', " + (result ? "true" : "false") + ")");
}

// Only while the fix is shown, so the clipboard gets what the page shows.
bool Controller::copyAccessFix() {
  if (!accessRefused()) return false;
  std::string text;
  for (const std::string& command : accessFix_().commands) text += command + "\n";
  return sharing_.copyText(text);
}

void Controller::usageDataAction(const json& body) {
  std::optional<bool> enabled = boolMember(body, "enabled");
  if (!enabled) return;
  usageData_ = {.enabled = *enabled, .notice = false};
  telemetry_.setEnabled(*enabled);
  if (!UsageData::saveEnabled(settings_, *enabled)) {
    preferencesError_ = kPreferencesNotSavedMessage;
  }
  publish();
}

void Controller::usageNoticeAction() {
  if (!usageData_.notice) return;
  usageData_.notice = false;
  (void)UsageData::dismissNotice(settings_);
  publish();
}

void Controller::refreshAction() {
  history_.requestCheck(true);
  if (!usbPresence_ || cablePresent()) {
    paused_ = false;
    if (!cablePresent() || initialLoadFinished_) {
      model_->setAutomatic(true);
      connection_.requestRefresh();
    } else {
      connection_.begin();
    }
  }
  publish();
}

void Controller::disconnectAction() {
  if (model_->busy()) return;
  paused_ = true;
  connection_.cancelRefresh();
  session_.clear();
  model_->setAutomatic(false);
  history_.stop();
  publish();
}

void Controller::activityAction(const json& body) {
  std::optional<std::string> module = stringMember(body, "module");
  if (!module || std::find(kModules.begin(), kModules.end(), *module) == kModules.end()) return;
  telemetry_.record("module", *module, std::nullopt, clock_.now());
}

void Controller::preferencesAction(const json& body) {
  std::optional<std::string> language = stringMember(body, "language");
  std::optional<std::string> theme = stringMember(body, "theme");
  if (!language || !theme) return;
  std::optional<PresentationPreferences> chosen = PresentationPreferences::make(*language, *theme);
  if (!chosen) return;
  presentation_ = *chosen;
  // A failed save keeps the choice in memory for this run and says that it will not last.
  if (settings_.save(presentation_, kPresentationPreferencesKey)) {
    preferencesError_.reset();
  } else {
    preferencesError_ = kPreferencesNotSavedMessage;
  }
  telemetry_.setLanguage(effectiveLanguage_(presentation_.language));
  publish();
}

void Controller::historyAction() {
  history_.analyseNow();
  telemetry_.record("module", std::string("history"), std::nullopt, clock_.now());
  startHistoryRead();
}

void Controller::resetAction(const json& body) {
  std::optional<std::string> target = stringMember(body, "target");
  std::optional<Uuid> targetId = target ? Uuid::parse(*target) : std::nullopt;
  if (!targetId || *targetId != connectionId_) return;
  if (paused_ || !cablePresent() || model_->busy() || !resetSupported() || sessionRecorded() ||
      history_.analysisRuns() || history_.retryScheduled()) {
    return;
  }

  Date now = clock_.now();
  SettingRecord record{Uuid::random(),
                       now,
                       "reset",
                       model_->values(),
                       std::nullopt,
                       std::nullopt,
                       SettingRecord::Result::unconfirmed};
  Uuid recordId = record.id;
  settingJournal_->add(std::move(record));
  reset_.begin(model_->selected(), now, recordId);
  addMaintenanceRecord(maintenanceRecords_,
                       MaintenanceRecord{MaintenanceRecord::Action::reset, secondsSince1970(now)},
                       settings_);
  model_->resetModules(
      [weak = weak_from_this(), connection = connectionId_, recordId](bool acknowledged) {
        if (auto self = weak.lock()) self->resetFinished(acknowledged, connection, recordId);
      });
  publish();
}

void Controller::settingAction(const json& body) {
  if (paused_ || !cablePresent() || model_->busy() || !model_->updated()) return;
  std::optional<std::string> key = stringMember(body, "key");
  std::optional<bool> value = boolMember(body, "value");
  if (!key || !value) return;
  const Setting* setting = findSetting(*key);
  if (!setting) return;
  if (setting->isLock() && sessionRecorded()) return;
  auto current = model_->values().find(*key);
  if (current == model_->values().end() || current->second == *value) return;
  bool before = current->second;

  telemetry_.record("module", std::string(setting->isLock() ? "parental_lock" : "settings"),
                    std::nullopt, clock_.now());
  SettingRecord record{Uuid::random(),
                       clock_.now(),
                       *key,
                       SettingRecord::Values{{*key, before}},
                       *value,
                       std::nullopt,
                       SettingRecord::Result::unconfirmed};
  Uuid recordId = record.id;
  settingJournal_->add(std::move(record));
  model_->writeSetting(*setting, *value,
                       [weak = weak_from_this(), recordId, key = *key](std::optional<bool> state) {
                         if (auto self = weak.lock())
                           self->settingWriteFinished(state, recordId, key);
                       });
}

}  // namespace nimbra
