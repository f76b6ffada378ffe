#include <variant>

#include "app/controller.h"

// The history check: when a history read starts and what its result does to the screen.
// Archiving the records and sending them for analysis are the steps archiveSnapshot,
// refreshArchive and analysePendingRecords, which do nothing yet: the archive and the
// analysis server are wired in with the history flow.

namespace nimbra {

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
    if (const HistorySnapshot* snapshot = std::get_if<HistorySnapshot>(&outcome)) {
      archiveSnapshot(*snapshot);
      archiveCount_ = snapshot->archiveCount;
      directoryCount_ = snapshot->directoryCount;
      std::vector<HistoryEntry> entries;
      entries.reserve(snapshot->packets.size());
      for (const HistoryPacket& packet : snapshot->packets) entries.push_back(packet.entry);
      history_ = std::move(entries);
      analyzedCatalog_ = snapshot->catalog;
      historyNeedsAnalysis_ = true;
    }
    analysePendingRecords();
  }
  publish();
}

void Controller::archiveSnapshot(const HistorySnapshot& /*snapshot*/) {
  // Merging the read records into the sealed archive: not wired in yet.
}

void Controller::analysePendingRecords() {
  // Loading the records without observations and starting the analysis: not wired in yet.
}

void Controller::refreshArchive(const std::string& /*serial*/) {
  // Loading the stored observations when the archive file changed: not wired in yet.
}

}  // namespace nimbra
