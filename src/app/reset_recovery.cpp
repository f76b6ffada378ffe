#include "app/reset_recovery.h"

#include <utility>

#include "core/dates.h"

namespace nimbra {

ResetRecovery::ResetRecovery(MainQueue& queue, SettingJournal& journal,
                             std::function<void()> publish)
    : queue_(queue), journal_(journal), publish_(std::move(publish)) {}

void ResetRecovery::begin(const std::string& serial, Date started, const Uuid& record) {
  resetStatus_ = "running";
  MainQueue::TimePoint now = queue_.now();
  resetRecovery_ =
      Awaited{serial, started, now + kResetRecoveryDelay, now + kResetRecoveryLimit, record};
  publishAfter(kResetRecoveryDelay);
  publishAfter(kResetRecoveryLimit);
}

void ResetRecovery::publishAfter(MainQueue::Duration delay) {
  queue_.postAfter(delay, [this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.lock()) publish_();
  });
}

void ResetRecovery::finished(bool acknowledged, const Uuid& record) {
  resetStatus_ = acknowledged ? "acknowledged" : "unconfirmed";
  if (acknowledged) journal_.complete(record, std::nullopt, SettingRecord::Result::confirmed);
}

void ResetRecovery::deviceChanged() {
  if (!resetRecovery_) resetStatus_.reset();
}

// The wait ends in one of two ways, each completing the journal record exactly once:
// - recovered: the same device was read again after the earliest time, with firmware and
//   engine; the record gets the settings read then, confirmed or reconnected.
// - abandoned: the wait cannot end that way any more, because a different device is being
//   served, or it outlasted kResetRecoveryLimit (the device never came back, or never gave a
//   full read). While the wait runs the page's device actions are shut, so it must end; the
//   record stays "unconfirmed" (or keeps the "confirmed" the device's acknowledgement gave it),
//   and a later read of that device no longer completes it.
void ResetRecovery::check(const Served& served) {
  if (!resetRecovery_ || queue_.now() < resetRecovery_->earliest) return;
  if (!recovered(served)) {
    bool otherDevice = !served.deviceKey.empty() && served.deviceKey != resetRecovery_->serial;
    if (otherDevice || queue_.now() >= resetRecovery_->latest) abandon();
    if (otherDevice) resetStatus_.reset();  // it described the device that left
    return;
  }
  Uuid record = resetRecovery_->record;
  resetRecovery_.reset();
  if (resetStatus_ == "running") resetStatus_ = "unconfirmed";
  journal_.complete(record, served.values,
                    resetStatus_ == "acknowledged" ? SettingRecord::Result::confirmed
                                                   : SettingRecord::Result::reconnected);
}

bool ResetRecovery::recovered(const Served& served) const {
  if (!served.cablePresent || served.deviceKey != resetRecovery_->serial) return false;
  if (!served.updated || *served.updated <= resetRecovery_->started) return false;
  const std::optional<DeviceSample>& sample = served.lastSample;
  return sample && sample->observedAt == secondsSince1970(*served.updated) && sample->firmware &&
         sample->engine;
}

void ResetRecovery::abandon() {
  Uuid record = resetRecovery_->record;
  resetRecovery_.reset();
  if (resetStatus_ == "acknowledged") return;  // completed as confirmed by the acknowledgement
  resetStatus_ = "unconfirmed";
  journal_.complete(record, std::nullopt, SettingRecord::Result::unconfirmed);
}

}  // namespace nimbra
