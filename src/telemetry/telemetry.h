#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/main_queue.h"
#include "core/uuid.h"
#include "server/post_json.h"
#include "storage/local_storage.h"
#include "telemetry/telemetry_event.h"
#include "telemetry/telemetry_ledger.h"
#include "telemetry/telemetry_outbox.h"

namespace nimbra {

// Usage events (first launch, one "daily" per UTC+8 day, module visits, device reads) kept
// in a sealed outbox that survives restarts, and uploaded to the analysis server in batches
// of one installation with exponential back-off.
//
// One process-wide instance, the shared one, which the program's composition root creates
// with createShared(); tests build their own with fake seams. Main thread
// only: every member, the minute timer and the upload's completion run there; only the
// HTTP request itself runs on a worker.
//
// A damaged outbox is never overwritten in the run that found it: events then live in
// memory only (and are still uploaded), and record() reports false.
//
// Without a server (an endpoint that is not configured) telemetry is off: nothing is read,
// recorded, stored or sent, start() starts no timer and record() reports false.
// The user's "Send usage data" switch (setEnabled) stops all of it: off, nothing is recorded,
// kept or uploaded.
class Telemetry {
 public:
  using Device = TelemetryDevice;
  using Event = TelemetryEvent;

  static constexpr size_t kMaxPending = 2000;
  static constexpr size_t kMaxBatch = 20;
  static constexpr double kInitialRetrySeconds = 60;
  static constexpr double kMaxRetrySeconds = 900;
  static constexpr std::chrono::seconds kTickInterval{60};
  static constexpr std::chrono::seconds kTickTolerance{5};
  static constexpr char kUploadPath[] = "v1/telemetry";

  // Everything the object takes from outside. The queue and the clock must outlive it.
  struct Seams {
    MainQueue& queue;
    const Clock& clock;
    // Monotonic seconds since boot, counting suspend.
    std::function<double()> uptime;
    // The installation identifier, asked for at creation and for each event.
    std::function<Uuid()> installationId;
    // Whether nimbra is the active application; empty means always.
    std::function<bool()> isApplicationActive;
    // Absent when there is no application-support directory: nothing is then stored.
    std::optional<LocalStorage> storage;
    // Not configured: telemetry is off.
    HistoryAPI::Endpoint endpoint;
    std::string os;
    std::string appBuild;
    std::string appVersion;
    // The user's "Send usage data" switch at start-up (setEnabled later).
    bool enabled = true;
  };

  // What the application shell supplies for the shared instance; the rest is the real
  // system's (clock, uptime, storage, build values, server).
  struct SharedHooks {
    MainQueue* queue = nullptr;
    std::function<Uuid()> installationId;
    std::function<bool()> isApplicationActive;
    // The telemetry server; absent: the build's analysis server (the demo passes its own).
    std::optional<HistoryAPI::Endpoint> endpoint;
    // The user's "Send usage data" switch as stored.
    bool enabled = true;
  };
  // The shared instance with the real seams; the composition root calls it once and keeps
  // the object until the process ends (an upload's completion may arrive after the main loop).
  static std::unique_ptr<Telemetry> createShared(SharedHooks hooks);

  explicit Telemetry(Seams seams);
  ~Telemetry();
  Telemetry(const Telemetry&) = delete;
  Telemetry& operator=(const Telemetry&) = delete;

  // After launch: records first_launch (until it has been saved once for this
  // installation), the day's report and the "home" module visit, then starts the minute
  // timer. A later call only sets the language.
  void start(std::string language);

  // Records one event and saves the outbox; true when it was saved. "foreground",
  // "heartbeat" and "launch" are never stored: they only run the daily check (true).
  // "module" and "device" events run it first, so a day's "daily" precedes them.
  bool record(std::string_view kind, std::optional<std::string> module,
              std::optional<Device> device, Date time);

  // Records the "daily" event of `time`'s UTC+8 day unless that day was already reported.
  void reportDailyIfNeeded(Date time);

  // Uploads the oldest batch unless an upload runs, nothing is queued or the back-off has
  // not yet passed.
  void flush();

  // The user's "Send usage data" switch. Off, nothing is recorded (record returns false,
  // no daily report, no first launch) and nothing is uploaded: the events still queued are
  // dropped from memory and from the outbox, and an upload in flight is cancelled. On again,
  // events recorded from then on are uploaded as usual.
  void setEnabled(bool enabled);
  bool enabled() const { return enabled_; }

  void setLanguage(std::string language) { language_ = std::move(language); }
  const std::string& language() const { return language_; }

  // Observers for the shell and tests.
  const std::vector<Event>& pending() const { return pending_; }
  const Uuid& sessionId() const { return sessionId_; }
  const std::optional<std::string>& currentSerial() const { return currentSerial_; }
  bool outboxReadable() const { return outboxReadable_; }
  bool isUploading() const { return uploading_; }
  bool isFirstLaunch() const { return isFirstLaunch_; }
  bool isStarted() const { return timer_.has_value(); }
  bool isOn() const { return endpoint_.configured(); }
  double retryInterval() const { return retryInterval_; }
  double nextAttempt() const { return nextAttempt_; }

 private:
  static bool isTriggerOnly(std::string_view kind);
  Event makeEvent(std::string_view kind, std::optional<std::string> module,
                  std::optional<Device> device, Date time) const;
  void enqueue(Event event);
  bool saveOutbox();
  bool pendingHoldsDaily(const Uuid& installation, const std::string& day) const;
  std::vector<Event> nextBatch() const;
  void uploadFinished(const std::vector<Uuid>& batchIds, bool succeeded);
  void tick();
  void dropPending();

  MainQueue& queue_;
  const Clock& clock_;
  std::function<double()> uptime_;
  std::function<Uuid()> installationId_;
  std::function<bool()> isApplicationActive_;
  HistoryAPI::Endpoint endpoint_;
  TelemetryOutbox outbox_;
  TelemetryLedger ledger_;

  const Uuid sessionId_;
  const std::string os_;
  const std::string appBuild_;
  const std::string appVersion_;
  std::optional<std::string> currentSerial_;
  std::vector<Event> pending_;
  bool outboxReadable_ = true;
  bool uploading_ = false;
  double retryInterval_ = kInitialRetrySeconds;
  double nextAttempt_ = 0;
  std::optional<TaskHandle> timer_;
  TaskHandle upload_;
  bool isFirstLaunch_ = false;
  bool enabled_ = true;
  std::string language_ = "en";
};

}  // namespace nimbra
