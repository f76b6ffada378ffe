#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/main_queue.h"
#include "core/uuid.h"
#include "device/history_observation.h"
#include "device/history_types.h"
#include "device/model.h"
#include "server/history_analysis.h"
#include "server/post_json.h"
#include "storage/history_archive.h"
#include "storage/local_storage.h"

namespace nimbra {

// The history check of the served device: when a history read starts, archiving what it
// read, and sending the archived records that have no observation yet to the analysis server
// in batches; the catalogue, counts, observations and errors the page shows.
//
// Main thread only. The device read runs on the model's queue and the server calls on worker
// threads; their results come back through the main queue and are applied only while the
// connection, the device and the analysis run they belong to are still current. Nothing
// arrives once the flow is gone.
//
// Without an analysis server (an endpoint that is not configured) the flow still reads,
// archives and counts the records; it never sends one, so no analysis ever runs or fails.
class HistoryFlow {
 public:
  HistoryFlow(Model& model, MainQueue& queue, const LocalStorage& storage, const Clock& clock,
              HistoryAPI::Endpoint endpoint, std::function<Uuid()> installationId,
              std::function<void()> publish);
  ~HistoryFlow();
  HistoryFlow(const HistoryFlow&) = delete;
  HistoryFlow& operator=(const HistoryFlow&) = delete;

  // Forgets everything about the previous device; reads from now on belong to `connection`.
  void reset(const Uuid& connection);
  // refreshArchive: takes the archive's observations when its file changed.
  void refreshArchive(const std::string& serial);
  // Whether publish should run the history check now: no read yet on this connection, a
  // retry waits, or (after the first load) a re-check was asked for.
  bool wantsRead(bool initialLoadFinished) const;
  // startHistoryRead, once the caller has checked that the device is served and not paused.
  // `background` is the first load being finished.
  void startRead(bool background);
  void historyReadFinished(const std::string& serial, const HistoryOutcome& outcome,
                           const Uuid& connection);
  // A retry waits for a status reading that is not there (the last status read failed): it
  // cannot run, so the check is started afresh by the next good read instead.
  void giveUpRetryWithoutReading();
  // "disconnect": a waiting retry or a running analysis is dropped and the check starts again
  // on the next read.
  void stop();
  // After a module reset: the catalogue may have changed, read it all again.
  void forgetCatalog();
  void requestCheck(bool requested) { historyCheckRequested_ = requested; }
  // The user asked for the history: the analysis may run at once after the next read.
  void analyseNow() { historyAnalysisRetryAfter_ = queue_.now(); }

  // Whether the build has an analysis server to send records to.
  bool analysisAvailable() const { return endpoint_.configured(); }
  bool historyStarted() const { return historyStarted_; }
  bool readingHistory() const { return readingHistory_; }
  bool retryScheduled() const { return historyRetryAt_.has_value(); }
  bool analysisRuns() const { return analysisID_.has_value(); }
  bool needsAnalysis() const { return historyNeedsAnalysis_; }
  const std::optional<std::vector<HistoryEntry>>& history() const { return history_; }
  const std::optional<int>& archiveCount() const { return archiveCount_; }
  const std::optional<int>& directoryCount() const { return directoryCount_; }
  // The archive error when there is one, else the read or analysis error.
  const std::optional<std::string>& shownError() const {
    return historyArchiveError_ ? historyArchiveError_ : historyError_;
  }
  const std::optional<std::vector<HistoryObservation>>& observations() const {
    return observations_;
  }
  const std::optional<std::vector<uint8_t>>& analyzedCatalog() const { return analyzedCatalog_; }

 private:
  // The benchmark fills the state a long history would produce.
  friend class ControllerPeer;
  // One run of the analysis: its identity, the device and the records still to send.
  struct AnalysisRun;

  bool archiveSnapshot(const HistorySnapshot& snapshot);
  void analysePendingRecords();
  void startAnalysis(std::vector<HistoryArchive::Pending> pending, std::string serial,
                     std::string archiveKey);
  void analyseNextBatch(const std::shared_ptr<AnalysisRun>& run);
  void analysisBatchFinished(const std::shared_ptr<AnalysisRun>& run,
                             Result<std::vector<HistoryObservation>> reply);
  void analysisFailed(const std::shared_ptr<AnalysisRun>& run, const Error& error);
  void finishAnalysis(const Uuid& run);
  void cancelAnalysis();
  void schedulePublish(MainQueue::Duration delay);

  Model& model_;
  MainQueue& queue_;
  HistoryArchive archive_;
  HistoryAPI::Endpoint endpoint_;
  std::function<Uuid()> installationId_;
  std::function<void()> publish_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  Uuid connection_;  // the connection whose reads are taken

  std::optional<std::vector<HistoryEntry>> history_;
  std::optional<int> archiveCount_;
  std::optional<int> directoryCount_;
  std::optional<std::string> historyError_;
  std::optional<std::vector<HistoryObservation>> observations_;
  std::optional<TaskHandle> analysisTask_;
  std::optional<Uuid> analysisID_;
  bool historyStarted_ = false;
  std::optional<HistoryArchive::Revision> historyRevision_;
  std::optional<std::string> historyArchiveError_;
  bool historyNeedsAnalysis_ = true;
  MainQueue::TimePoint historyAnalysisRetryAfter_;
  std::optional<std::vector<uint8_t>> analyzedCatalog_;
  bool historyCheckRequested_ = false;
  bool readingHistory_ = false;
  int historyReadAttempts_ = 0;
  std::optional<MainQueue::TimePoint> historyRetryAt_;
  MainQueue::Duration historyRetryDelay_{5000};
  int historyMaxAttempts_ = 3;
};

}  // namespace nimbra
