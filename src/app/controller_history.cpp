#include <chrono>
#include <utility>
#include <variant>

#include "app/analysis_batches.h"
#include "app/controller.h"
#include "core/sha256.h"
#include "server/history_analysis.h"

// The history check: when a history read starts, archiving what it read, and sending the
// archived records that have no observation yet to the analysis server in batches. All on
// the main thread; the server calls run on their own worker threads and their results come
// back through the main queue, applied only while the run, the connection and the device
// they belong to are still current.

namespace nimbra {
namespace {

constexpr char kArchiveWriteMessage[] = "无法读取或保存本机加密历史记录。";
constexpr char kArchiveReadMessage[] = "无法读取本机加密历史记录。";
// How long the analysis waits after a failure before the next read may start it again.
constexpr std::chrono::seconds kAnalysisRetryDelay{30};

}  // namespace

struct Controller::AnalysisRun {
  Uuid id;
  std::string serial;
  std::string archiveKey;
  std::vector<HistoryArchive::Pending> pending;
  std::vector<HistoryArchive::Pending> batch;  // the records of the request in flight
};

void Controller::startHistoryRead() {
  if (paused_ || !cablePresent() || model_->busy() || model_->selected().empty() ||
      !model_->updated() || analysisRuns() || readingHistory_) {
    return;
  }
  if (!historyRetryScheduled()) {
    historyReadAttempts_ = 0;
  } else if (queue_.now() < *historyRetryAt_) {
    return;
  }
  historyRetryAt_.reset();
  ++historyReadAttempts_;
  historyStarted_ = true;
  readingHistory_ = true;
  historyCheckRequested_ = false;
  model_->readHistory(analyzedCatalog_, initialLoadFinished_,
                      [weak = weak_from_this(), connection = connectionId_](
                          const std::string& serial, const HistoryOutcome& outcome) {
                        if (auto self = weak.lock()) {
                          self->historyReadFinished(serial, outcome, connection);
                        }
                      });
}

void Controller::historyReadFinished(const std::string& serial, const HistoryOutcome& outcome,
                                     const Uuid& connection) {
  if (connection != connectionId_ || serial != model_->selected()) return;
  readingHistory_ = false;
  if (const Error* error = std::get_if<Error>(&outcome)) {
    if (historyReadAttempts_ >= historyMaxAttempts_) {
      historyError_ = error->message;
    } else {
      historyRetryAt_ = queue_.now() + historyRetryDelay_;
      postSelfAfter(historyRetryDelay_, [](Controller& self) { self.publish(); });
    }
  } else {
    const HistorySnapshot* snapshot = std::get_if<HistorySnapshot>(&outcome);
    if (!snapshot || archiveSnapshot(*snapshot)) analysePendingRecords();
  }
  publish();
}

// Merges the read records into the archive, then takes the snapshot as the current history.
// When the merge fails the snapshot is not taken: the catalogue stays unknown, so the next
// read fetches the records again instead of reporting them unchanged.
bool Controller::archiveSnapshot(const HistorySnapshot& snapshot) {
  if (!archive_.merge(snapshot.packets, sha256Hex(model_->selected()))) {
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

void Controller::analysePendingRecords() {
  if (historyNeedsAnalysis_ && queue_.now() >= historyAnalysisRetryAfter_) {
    std::string serial = model_->selected();
    std::string key = sha256Hex(serial);
    Result<std::vector<HistoryArchive::Pending>> pending = archive_.pending(key);
    if (!pending) {
      historyError_ = kArchiveWriteMessage;
      return;
    }
    historyNeedsAnalysis_ = !pending->empty();
    if (historyNeedsAnalysis_) startAnalysis(std::move(*pending), serial, key);
  }
  if (!historyNeedsAnalysis_) historyError_.reset();
}

void Controller::refreshArchive(const std::string& serial) {
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

void Controller::startAnalysis(std::vector<HistoryArchive::Pending> pending, std::string serial,
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
void Controller::analyseNextBatch(const std::shared_ptr<AnalysisRun>& run) {
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
  analysisTask_ = HistoryAPI::analyze(
      queue_, analysisEndpoint_, installationId_(), std::move(packets),
      [weak = weak_from_this(), run](Result<std::vector<HistoryObservation>> reply) {
        if (auto self = weak.lock()) self->analysisBatchFinished(run, std::move(reply));
      });
}

void Controller::analysisBatchFinished(const std::shared_ptr<AnalysisRun>& run,
                                       Result<std::vector<HistoryObservation>> reply) {
  if (analysisID_ != run->id) return;  // cancelled or replaced: someone else cleaned up
  if (model_->selected() != run->serial) {
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
  publish();
  // publish may have changed the device, which cancels this run.
  if (analysisID_ != run->id) return;
  analyseNextBatch(run);
}

void Controller::analysisFailed(const std::shared_ptr<AnalysisRun>& run, const Error& error) {
  historyError_ = error.message;
  historyAnalysisRetryAfter_ = queue_.now() + kAnalysisRetryDelay;
  finishAnalysis(run->id);
}

void Controller::finishAnalysis(const Uuid& run) {
  if (analysisID_ == run) {
    analysisID_.reset();
    analysisTask_.reset();
  }
  publish();
}

}  // namespace nimbra
