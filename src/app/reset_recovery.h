#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/main_queue.h"
#include "core/uuid.h"
#include "storage/device_sample.h"
#include "storage/setting_journal.h"

namespace nimbra {

// A module reset from the request to the device being read again: the status the page shows
// ("running", "acknowledged", "unconfirmed") and the wait for the reconnection, which ends by
// completing the reset's journal record exactly once.
//
// Main thread only. The delayed checks it schedules run only while it exists.
class ResetRecovery {
 public:
  // What the served device looks like at one publish.
  struct Served {
    bool cablePresent = false;
    std::string deviceKey;
    std::optional<Date> updated;  // the model's update time
    const std::optional<DeviceSample>& lastSample;
    const SettingRecord::Values& values;  // the model's setting values
  };

  // The earliest time after the reset at which the device's read completes the wait.
  static constexpr MainQueue::Duration kResetRecoveryDelay{15000};
  // How long the wait lasts at most when the device never comes back (or never gives a full
  // read). A module reboots in seconds; the rest leaves the user time to plug it in again.
  static constexpr MainQueue::Duration kResetRecoveryLimit{120000};

  ResetRecovery(MainQueue& queue, SettingJournal& journal, std::function<void()> publish);
  ResetRecovery(const ResetRecovery&) = delete;
  ResetRecovery& operator=(const ResetRecovery&) = delete;

  // The reset of `serial` was sent at `started`; `record` is its journal record.
  void begin(const std::string& serial, Date started, const Uuid& record);
  // The device's answer to the reset (its completion for the current connection).
  void finished(bool acknowledged, const Uuid& record);
  // checkResetRecovery, at every publish while a recovery is awaited.
  void check(const Served& served);
  // Device change: the status described the device that left, unless its return is awaited.
  void deviceChanged();

  bool awaited() const { return resetRecovery_.has_value(); }
  const std::optional<std::string>& resetStatus() const { return resetStatus_; }

 private:
  // The benchmark fills the state a long run would produce.
  friend class ControllerPeer;

  struct Awaited {
    std::string serial;
    Date started;
    MainQueue::TimePoint earliest;
    MainQueue::TimePoint latest;  // the wait ends here even when the device never came back
    Uuid record;
  };

  bool recovered(const Served& served) const;
  void abandon();
  void publishAfter(MainQueue::Duration delay);

  MainQueue& queue_;
  SettingJournal& journal_;
  std::function<void()> publish_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  std::optional<std::string> resetStatus_;
  std::optional<Awaited> resetRecovery_;
};

}  // namespace nimbra
