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
  if (model_.updated()) {
    end();
    model_.setAutomatic(hooks_.mayRead());
    return;
  }
  if (connectionAttempt_ >= maxConnectionAttempts_) {
    end();  // the screen state now reports the failure
    return;
  }
  queue_.postAfter(kConnectionRetryDelay,
                   [this, alive = std::weak_ptr<bool>(alive_), sequence = *connectionReadID_] {
                     if (alive.lock()) retry(sequence);
                   });
}

void ConnectionSequence::end() { connectionReadID_.reset(); }

void ConnectionSequence::retry(const Uuid& sequence) {
  if (connectionReadID_ != sequence || !hooks_.cablePresent() || !hooks_.mayRead()) return;
  requestRefresh();
  hooks_.publish();
}

}  // namespace nimbra
