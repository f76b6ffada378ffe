#include "app/controller.h"

// The connection read sequence: after a cable comes (or the user asks to reconnect), up to
// five foreground reads 3 s apart until one succeeds. Each retry carries the identity of its
// sequence, so a retry left over from an older sequence does nothing.

namespace nimbra {

void Controller::beginConnectionRead() {
  connectionReadID_ = Uuid::random();
  connectionAttempt_ = 0;
  connectionReadInFlight_ = false;
  model_->setAutomatic(false);
  refreshPending_ = true;
  performPendingRefresh();
}

void Controller::performPendingRefresh() {
  if (!refreshPending_ || paused_) return;
  if (usbPresence_ && !cablePresent()) return;
  if (model_->busy()) return;  // the change that ends the busy spell comes back here
  refreshPending_ = false;
  if (connectionSequenceRuns()) {
    ++connectionAttempt_;
    connectionReadInFlight_ = true;
  }
  model_->refresh(false);
}

void Controller::checkConnectionRead() {
  if (!connectionSequenceRuns() || !connectionReadInFlight_ || model_->busy()) return;
  connectionReadInFlight_ = false;
  if (model_->updated()) {
    connectionReadID_.reset();
    model_->setAutomatic(!paused_ && cablePresent());
    return;
  }
  if (connectionAttempt_ >= maxConnectionAttempts_) {
    connectionReadID_.reset();  // the screen state now reports the failure
    return;
  }
  postSelfAfter(kConnectionRetryDelay, [sequence = *connectionReadID_](Controller& self) {
    self.connectionRetry(sequence);
  });
}

void Controller::connectionRetry(const Uuid& sequence) {
  if (connectionReadID_ != sequence || !cablePresent() || paused_) return;
  refreshPending_ = true;
  performPendingRefresh();
  publish();
}

}  // namespace nimbra
