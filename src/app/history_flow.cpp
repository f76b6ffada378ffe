#include "app/history_flow.h"

#include <chrono>
#include <map>
#include <utility>
#include <variant>

#include "app/analysis_batches.h"
#include "core/sha256.h"

namespace nimbra {
namespace {

constexpr char kArchiveWriteMessage[] = "无法读取或保存本机加密历史记录。";
constexpr char kArchiveReadMessage[] = "无法读取本机加密历史记录。";
// How long the analysis waits after a failure before the next read may start it again.
constexpr std::chrono::seconds kAnalysisRetryDelay{30};

}  // namespace

struct HistoryFlow::AnalysisRun {
  Uuid id;
  std::string serial;
  std::string archiveKey;
  std::vector<HistoryArchive::Pending> pending;
  std::vector<HistoryArchive::Pending> batch;  // the records of the request in flight
};

HistoryFlow::HistoryFlow(Model& model, MainQueue& queue, const LocalStorage& storage,
                         const Clock& clock, HistoryAPI::Endpoint endpoint,
                         std::function<Uuid()> installationId, std::function<void()> publish)
    : model_(model),
      queue_(queue),
      archive_(storage, clock),
      endpoint_(std::move(endpoint)),
      installationId_(std::move(installationId)),
      publish_(std::move(publish)),
      historyAnalysisRetryAfter_(queue.now()) {}

HistoryFlow::~HistoryFlow() { cancelAnalysis(); }

void HistoryFlow::reset(const Uuid& connection) {
  connection_ = connection;
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
  cancelAnalysis();
}

void HistoryFlow::cancelAnalysis() {
  if (analysisTask_) analysisTask_->cancel();
  analysisTask_.reset();
  analysisID_.reset();
}

void HistoryFlow::schedulePublish(MainQueue::Duration delay) {
  queue_.postAfter(delay, [this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.lock()) publish_();
  });
}

bool HistoryFlow::wantsRead(bool initialLoadFinished) const {
  return !historyStarted_ || retryScheduled() || (initialLoadFinished && historyCheckRequested_);
}

void HistoryFlow::startRead(bool background) {
  if (model_.busy() || model_.selected().empty() || !model_.updated() || analysisRuns() ||
      readingHistory_) {
    return;
  }
  if (!retryScheduled()) {
    historyReadAttempts_ = 0;
  } else if (queue_.now() < *historyRetryAt_) {
    return;
  }
  historyRetryAt_.reset();
  ++historyReadAttempts_;
  historyStarted_ = true;
  readingHistory_ = true;
  historyCheckRequested_ = false;
  model_.readHistory(analyzedCatalog_, background,
                     [this, alive = std::weak_ptr<bool>(alive_), connection = connection_](
                         const std::string& serial, const HistoryOutcome& outcome) {
                       if (alive.lock()) historyReadFinished(serial, outcome, connection);
                     });
}

void HistoryFlow::historyReadFinished(const std::string& serial, const HistoryOutcome& outcome,
                                      const Uuid& connection) {
  if (connection != connection_ || serial != model_.selected()) return;
  readingHistory_ = false;
  if (const Error* error = std::get_if<Error>(&outcome)) {
    if (historyReadAttempts_ >= historyMaxAttempts_) {
      historyError_ = error->message;
    } else {
      historyRetryAt_ = queue_.now() + historyRetryDelay_;
      schedulePublish(historyRetryDelay_);
    }
  } else {
    const HistorySnapshot* snapshot = std::get_if<HistorySnapshot>(&outcome);
    if (!snapshot || archiveSnapshot(*snapshot)) analysePendingRecords();
  }
  publish_();
}

void HistoryFlow::giveUpRetryWithoutReading() {
  if (!retryScheduled() || readingHistory_ || model_.busy() || model_.updated()) return;
  historyRetryAt_.reset();
  historyStarted_ = false;
}

void HistoryFlow::stop() {
  if (!retryScheduled() && !analysisRuns()) return;
  historyRetryAt_.reset();
  historyStarted_ = false;
  cancelAnalysis();
}

void HistoryFlow::forgetCatalog() {
  historyStarted_ = false;
  analyzedCatalog_.reset();
  history_.reset();
}

// Merges the read records into the archive, then takes the snapshot as the current history.
// When the merge fails the snapshot is not taken: the catalogue stays unknown, so the next
// read fetches the records again instead of reporting them unchanged.
bool HistoryFlow::archiveSnapshot(const HistorySnapshot& snapshot) {
  if (!archive_.merge(snapshot.packets, sha256Hex(model_.selected()))) {
    historyError_ = kArchiveWriteMessage;
    return false;
  }
  archiveCount_ = snapshot.archiveCount;
  directoryCount_ = snapshot.directoryCount;
  std::vector<HistoryEntry> entries;
  entries.reserve(snapshot.packets.size());
  for (const HistoryPacket& packet : snapshot.packets) entries.push_back(packet.entry);
  history_ = std::move(entries);
  analyzedCatalog_ = snapshot.catalog;
  historyNeedsAnalysis_ = true;
  return true;
}

void HistoryFlow::analysePendingRecords() {
  if (historyNeedsAnalysis_ && queue_.now() >= historyAnalysisRetryAfter_ &&
      endpoint_.configured()) {
    std::string serial = model_.selected();
    std::string key = sha256Hex(serial);
    Result<std::vector<HistoryArchive::Pending>> pending = archive_.pending(key);
    if (!pending) {
      historyError_ = kArchiveWriteMessage;
      return;
    }
    historyNeedsAnalysis_ = !pending->empty();
    if (historyNeedsAnalysis_) startAnalysis(std::move(*pending), serial, key);
  }
  // Without a server no record waits for anything: a good read clears an older read error.
  if (!historyNeedsAnalysis_ || !endpoint_.configured()) historyError_.reset();
}

void HistoryFlow::refreshArchive(const std::string& serial) {
  if (serial.empty()) return;
  std::string key = sha256Hex(serial);
  Result<std::optional<HistoryArchive::Revision>> revision = archive_.revision(key);
  if (!revision) {
    historyArchiveError_ = kArchiveReadMessage;
    return;
  }
  if (*revision == historyRevision_ && !historyArchiveError_) return;
  Result<std::optional<std::vector<HistoryObservation>>> observations = archive_.observations(key);
  if (!observations) {
    historyArchiveError_ = kArchiveReadMessage;
    return;
  }
  // No file yet (or no longer): nothing is known, which the page shows as an empty list.
  observations_ = std::move(*observations).value_or(std::vector<HistoryObservation>{});
  if (!*revision) {
    analyzedCatalog_.reset();
    historyNeedsAnalysis_ = true;
  }
  historyRevision_ = *revision;
  historyArchiveError_.reset();
}

void HistoryFlow::startAnalysis(std::vector<HistoryArchive::Pending> pending, std::string serial,
                                std::string archiveKey) {
  auto run = std::make_shared<AnalysisRun>(AnalysisRun{
      .id = Uuid::random(),
      .serial = std::move(serial),
      .archiveKey = std::move(archiveKey),
      .pending = std::move(pending),
      .batch = {},
  });
  analysisID_ = run->id;
  analyseNextBatch(run);
}

// Sends the next batch, or ends the run once nothing is left. The transfer's handle is the
// run's task: cancelling it aborts the transfer and its completion never runs.
void HistoryFlow::analyseNextBatch(const std::shared_ptr<AnalysisRun>& run) {
  if (run->pending.empty()) {
    historyNeedsAnalysis_ = false;
    historyError_.reset();
    finishAnalysis(run->id);
    return;
  }
  run->batch = takeBatch(run->pending);
  std::vector<HistoryPacket> packets;
  packets.reserve(run->batch.size());
  for (const HistoryArchive::Pending& record : run->batch) packets.push_back(record.packet);
  analysisTask_ = HistoryAPI::analyze(queue_, endpoint_, installationId_(), std::move(packets),
                                      [this, alive = std::weak_ptr<bool>(alive_),
                                       run](Result<std::vector<HistoryObservation>> reply) {
                                        if (alive.lock())
                                          analysisBatchFinished(run, std::move(reply));
                                      });
}

void HistoryFlow::analysisBatchFinished(const std::shared_ptr<AnalysisRun>& run,
                                        Result<std::vector<HistoryObservation>> reply) {
  if (analysisID_ != run->id) return;  // cancelled or replaced: someone else cleaned up
  if (model_.selected() != run->serial) {
    finishAnalysis(run->id);
    return;
  }
  if (!reply) return analysisFailed(run, reply.error());
  std::map<std::string, HistoryObservation> matched = matchObservations(run->batch, *reply);
  if (Status attached = archive_.attach(matched, run->archiveKey); !attached) {
    return analysisFailed(run, attached.error());
  }
  run->pending = withoutBatch(std::move(run->pending), run->batch);
  run->batch.clear();
  publish_();
  // publish may have changed the device, which cancels this run.
  if (analysisID_ != run->id) return;
  analyseNextBatch(run);
}

void HistoryFlow::analysisFailed(const std::shared_ptr<AnalysisRun>& run, const Error& error) {
  historyError_ = error.message;
  historyAnalysisRetryAfter_ = queue_.now() + kAnalysisRetryDelay;
  finishAnalysis(run->id);
}

void HistoryFlow::finishAnalysis(const Uuid& run) {
  if (analysisID_ == run) {
    analysisID_.reset();
    analysisTask_.reset();
  }
  publish_();
}

}  // namespace nimbra
