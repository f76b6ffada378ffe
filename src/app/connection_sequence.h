#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/main_queue.h"
#include "core/uuid.h"
#include "device/model.h"

namespace nimbra {

// The foreground use of the device by one connection: the connection read sequence (up to
// five foreground reads 3 s apart after a cable comes or the user reconnects, until one
// succeeds), a foreground read wanted as soon as the model is idle, the one page action
// deferred during a background read, and whether this connection has had a good read at all.
//
// Main thread only. Each retry carries the identity of its sequence, so a retry left over from
// an older sequence does nothing; none runs once the sequence object is gone.
class ConnectionSequence {
 public:
  // A page action deferred while the model reads in the background.
  struct PendingOperation {
    std::string serial;
    nlohmann::json request;
  };

  static constexpr MainQueue::Duration kConnectionRetryDelay{3000};
  static constexpr int kMaxConnectionAttempts = 5;

  // What the sequence asks of the controller.
  struct Hooks {
    // The device may be read now: not paused, and a cable present when a USB monitor tells.
    std::function<bool()> mayRead;
    // Runs after a retry started its read.
    std::function<void()> publish;
  };

  ConnectionSequence(Model& model, MainQueue& queue, Hooks hooks);
  ConnectionSequence(const ConnectionSequence&) = delete;
  ConnectionSequence& operator=(const ConnectionSequence&) = delete;

  // beginConnectionRead: a new sequence whose first read starts as soon as the model is idle.
  void begin();
  // Ends the sequence and forgets a wanted read (the set of devices changed); the caller
  // decides what the model does next.
  void stop();
  // A foreground read outside any sequence, as soon as the model is idle.
  void requestRefresh();
  void cancelRefresh() { refreshPending_ = false; }
  // performPendingRefresh: starts the wanted read unless the model is busy (the change that
  // ends the busy spell comes back here).
  void performPendingRefresh();
  // checkConnectionRead: on every model change, judges the attempt that just ended.
  void checkConnectionRead();

  // The per-connection latch: the served device has been read successfully since it came.
  // Polling and the history check rest on it, not on the model's newest read (which a single
  // failed read or a module reset clears).
  void markRead() { readOnce_ = true; }
  void forgetConnection() { readOnce_ = false; }
  bool readOnce() const { return readOnce_; }

  void defer(PendingOperation operation) { pendingOperation_ = std::move(operation); }
  std::optional<PendingOperation> takePending() { return std::exchange(pendingOperation_, {}); }
  void dropPending() { pendingOperation_.reset(); }
  bool hasPending() const { return pendingOperation_.has_value(); }

  bool runs() const { return connectionReadID_.has_value(); }
  int attempt() const { return connectionAttempt_; }
  bool refreshPending() const { return refreshPending_; }

 private:
  // The benchmark shows a sequence in its screen state.
  friend class ControllerPeer;

  void end();
  void retry(const Uuid& sequence);

  Model& model_;
  MainQueue& queue_;
  Hooks hooks_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  bool refreshPending_ = false;
  std::optional<Uuid> connectionReadID_;
  int connectionAttempt_ = 0;
  bool connectionReadInFlight_ = false;
  int maxConnectionAttempts_ = kMaxConnectionAttempts;
  std::optional<PendingOperation> pendingOperation_;
  bool readOnce_ = false;
};

}  // namespace nimbra
