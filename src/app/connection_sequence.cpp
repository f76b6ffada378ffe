#include "app/connection_sequence.h"

#include <utility>

namespace nimbra {

ConnectionSequence::ConnectionSequence(Model& model, MainQueue& queue, Hooks hooks)
    : model_(model), queue_(queue), hooks_(std::move(hooks)) {}

void ConnectionSequence::begin() {
  connectionReadID_ = Uuid::random();
  connectionAttempt_ = 0;
  connectionReadInFlight_ = false;
  model_.setAutomatic(false);
  requestRefresh();
}

void ConnectionSequence::stop() {
  connectionReadID_.reset();
  connectionReadInFlight_ = false;
  refreshPending_ = false;
}

void ConnectionSequence::requestRefresh() {
  refreshPending_ = true;
  performPendingRefresh();
}

void ConnectionSequence::performPendingRefresh() {
  if (!refreshPending_ || !hooks_.mayRead() || model_.busy()) return;
  refreshPending_ = false;
  if (runs()) {
    ++connectionAttempt_;
    connectionReadInFlight_ = true;
  }
  model_.refresh(false);
}

void ConnectionSequence::checkConnectionRead() {
  if (!runs() || !connectionReadInFlight_ || model_.busy()) return;
  connectionReadInFlight_ = false;
  if (model_.updated() || connectionAttempt_ >= maxConnectionAttempts_) {
    end();
    return;
  }
  queue_.postAfter(kConnectionRetryDelay,
                   [this, alive = std::weak_ptr<bool>(alive_), sequence = *connectionReadID_] {
                     if (alive.lock()) retry(sequence);
                   });
}

// However the sequence ends, the device goes back to the poll timer. After a failure the
// screen state reports it; the poll then reads only a device this connection has read before
// (or, without a USB monitor, looks for one), so a device that never answered is not read
// again until "refresh" or a USB change, while a use session of a device that did answer
// keeps being followed.
void ConnectionSequence::end() {
  connectionReadID_.reset();
  model_.setAutomatic(hooks_.mayRead());
}

// Without a USB monitor the read itself is what looks for the device, so a retry runs
// whether or not the last read found one.
void ConnectionSequence::retry(const Uuid& sequence) {
  if (connectionReadID_ != sequence || !hooks_.mayRead()) return;
  requestRefresh();
  hooks_.publish();
}

}  // namespace nimbra
