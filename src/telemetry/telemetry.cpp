#include "telemetry/telemetry.h"

#include <algorithm>
#include <set>
#include <utility>

#include "core/dates.h"
#include "core/utf8.h"

namespace nimbra {
namespace {

constexpr char kFirstLaunchKind[] = "first_launch";
constexpr char kDailyKind[] = "daily";
constexpr char kModuleKind[] = "module";
constexpr char kDeviceKind[] = "device";
constexpr char kHomeModule[] = "home";

Telemetry::Device sanitized(Telemetry::Device device) {
  device.brand = validUtf8(device.brand);
  device.model = validUtf8(device.model);
  device.modelName = validUtf8(device.modelName);
  device.serial = validUtf8(device.serial);
  device.firmware = validUtf8Optional(device.firmware);
  device.engine = validUtf8Optional(device.engine);
  return device;
}

}  // namespace

Telemetry::Telemetry(Seams seams)
    : queue_(seams.queue),
      clock_(seams.clock),
      uptime_(std::move(seams.uptime)),
      installationId_(std::move(seams.installationId)),
      isApplicationActive_(std::move(seams.isApplicationActive)),
      endpoint_(std::move(seams.endpoint)),
      // Off (no server): not even the outbox's folder is made.
      outbox_(endpoint_.configured() ? seams.storage : std::nullopt),
      ledger_(seams.storage && endpoint_.configured()
                  ? std::optional<LocalSettings>(LocalSettings(*seams.storage))
                  : std::nullopt),
      sessionId_(Uuid::random()),
      os_(validUtf8(seams.os)),
      appBuild_(validUtf8(seams.appBuild)),
      appVersion_(validUtf8(seams.appVersion)),
      enabled_(seams.enabled) {
  if (!isOn()) return;
  isFirstLaunch_ = ledger_.needsFirstLaunch(installationId_());
  Result<std::vector<Event>> loaded = outbox_.load();
  if (loaded) {
    pending_ = std::move(*loaded);
  } else {
    outboxReadable_ = false;
  }
  // Events queued before the switch was turned off (a run that ended before it could drop
  // them) are not sent either.
  if (!enabled_ && !pending_.empty()) dropPending();
}

// The completion of an upload in flight captures this object; a cancel made on the main
// thread guarantees it never runs afterwards.
Telemetry::~Telemetry() {
  if (timer_) timer_->cancel();
  upload_.cancel();
}

void Telemetry::start(std::string language) {
  language_ = std::move(language);
  if (timer_ || !isOn()) return;

  // The minute timer runs whatever the switch says, so turning it on later needs no restart.
  timer_ = queue_.repeat(kTickInterval, kTickTolerance, [this] { tick(); });
  if (!enabled_) return;
  if (isFirstLaunch_ && record(kFirstLaunchKind, std::nullopt, std::nullopt, clock_.now())) {
    ledger_.markFirstLaunch(installationId_());
    isFirstLaunch_ = false;
  }
  reportDailyIfNeeded(clock_.now());
  (void)record(kModuleKind, kHomeModule, std::nullopt, clock_.now());
}

void Telemetry::setEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  // Without a server nothing was ever kept, and nothing may be written now either.
  if (!enabled_ && isOn()) dropPending();
}

// Cancelling the upload in flight aborts its transfer, and its completion never runs.
void Telemetry::dropPending() {
  upload_.cancel();
  uploading_ = false;
  retryInterval_ = kInitialRetrySeconds;
  nextAttempt_ = 0;
  currentSerial_.reset();
  pending_.clear();
  (void)saveOutbox();
}

void Telemetry::tick() {
  if (!enabled_) return;
  if (!isApplicationActive_ || isApplicationActive_()) reportDailyIfNeeded(clock_.now());
  flush();
}

bool Telemetry::isTriggerOnly(std::string_view kind) {
  return kind == "foreground" || kind == "heartbeat" || kind == "launch";
}

bool Telemetry::record(std::string_view kind, std::optional<std::string> module,
                       std::optional<Device> device, Date time) {
  if (!isOn() || !enabled_) return false;
  if (isTriggerOnly(kind)) {
    reportDailyIfNeeded(time);
    return true;
  }
  if (device) currentSerial_ = validUtf8(device->serial);
  if (kind == kModuleKind || kind == kDeviceKind) reportDailyIfNeeded(time);
  enqueue(makeEvent(kind, std::move(module), std::move(device), time));
  return saveOutbox();
}

Telemetry::Event Telemetry::makeEvent(std::string_view kind, std::optional<std::string> module,
                                      std::optional<Device> device, Date time) const {
  Event event;
  event.id = Uuid::random();
  event.installId = installationId_();
  event.sessionId = sessionId_;
  event.occurredAt = secondsSince1970(time);
  event.kind = validUtf8(kind);
  event.module = validUtf8Optional(module);
  event.language = validUtf8(language_);
  event.os = os_;
  event.appBuild = appBuild_;
  if (device) event.device = sanitized(std::move(*device));
  event.appVersion = appVersion_;
  event.serial = event.device ? std::optional<std::string>(event.device->serial) : currentSerial_;
  return event;
}

// Past the cap the oldest event that is neither a daily report nor the first launch makes
// room; those two kinds are never dropped, so a queue of only them may grow past the cap.
void Telemetry::enqueue(Event event) {
  const bool full = pending_.size() >= kMaxPending;
  pending_.push_back(std::move(event));
  if (!full) return;
  auto droppable = std::find_if(pending_.begin(), pending_.end(), [](const Event& queued) {
    return queued.kind != kDailyKind && queued.kind != kFirstLaunchKind;
  });
  if (droppable != pending_.end()) pending_.erase(droppable);
}

bool Telemetry::saveOutbox() {
  if (!outboxReadable_) return false;
  return outbox_.save(pending_).ok();
}

void Telemetry::reportDailyIfNeeded(Date time) {
  if (!isOn() || !enabled_) return;
  const std::string day = telemetryDayText(time);
  const Uuid installation = installationId_();
  if (ledger_.hasReported(installation, day)) return;

  // Queued by an earlier check whose save failed: mark the day once the outbox is saved,
  // rather than queueing a second report of the same day.
  if (pendingHoldsDaily(installation, day)) {
    if (saveOutbox()) ledger_.markReported(installation, day);
    return;
  }
  if (record(kDailyKind, std::nullopt, std::nullopt, time)) {
    ledger_.markReported(installation, day);
  }
}

bool Telemetry::pendingHoldsDaily(const Uuid& installation, const std::string& day) const {
  return std::any_of(pending_.begin(), pending_.end(), [&](const Event& event) {
    return event.installId == installation && event.kind == kDailyKind &&
           telemetryDayText(dateFromSecondsSince1970(event.occurredAt)) == day;
  });
}

void Telemetry::flush() {
  if (!isOn() || !enabled_ || uploading_ || pending_.empty() || uptime_() < nextAttempt_) return;

  std::vector<Event> batch = nextBatch();
  std::vector<Uuid> batchIds;
  batchIds.reserve(batch.size());
  for (const Event& event : batch) batchIds.push_back(event.id);

  uploading_ = true;
  upload_ = HistoryAPI::postJSON(
      queue_, endpoint_, kUploadPath, telemetryEventsJson(batch), batch.front().installId,
      [this, batchIds = std::move(batchIds)](Result<HistoryAPI::Body> reply) {
        uploadFinished(batchIds, reply.ok());
      });
}

// The server takes one installation per request (its header names it), so a batch ends at
// the first event of another installation.
std::vector<Telemetry::Event> Telemetry::nextBatch() const {
  std::vector<Event> batch;
  const Uuid& installation = pending_.front().installId;
  for (const Event& event : pending_) {
    if (batch.size() == kMaxBatch || event.installId != installation) break;
    batch.push_back(event);
  }
  return batch;
}

void Telemetry::uploadFinished(const std::vector<Uuid>& batchIds, bool succeeded) {
  uploading_ = false;
  if (!succeeded) {
    nextAttempt_ = uptime_() + retryInterval_;
    retryInterval_ = std::min(2 * retryInterval_, kMaxRetrySeconds);
    return;
  }
  // Removal by id: events recorded, or dropped by the cap, while the request ran are
  // handled correctly either way.
  const std::set<Uuid> sent(batchIds.begin(), batchIds.end());
  std::erase_if(pending_, [&](const Event& event) { return sent.count(event.id) > 0; });
  (void)saveOutbox();
  retryInterval_ = kInitialRetrySeconds;
  nextAttempt_ = 0;
}

}  // namespace nimbra
