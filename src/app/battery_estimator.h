#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "core/main_queue.h"
#include "core/uuid.h"
#include "server/battery_estimate.h"
#include "server/post_json.h"

namespace nimbra {

// The battery estimate of the served device: one server request per charge value, the newest
// answer kept. A new charge replaces (and aborts) the request in flight; a failure forgets the
// input so the next folded sample asks again.
//
// Main thread only. The request runs on a worker thread and its answer comes back through the
// main queue; an answer for an input that is no longer current is dropped, and none arrives
// once the estimator is gone. Without an analysis server (an endpoint that is not configured)
// it never asks: it keeps no input and has no estimate.
class BatteryEstimator {
 public:
  // Called after each answer that was taken: `changed` when the predicted uses differ from
  // the previous estimate (false after a failure).
  using Finished = std::function<void(bool changed)>;

  BatteryEstimator(MainQueue& queue, HistoryAPI::Endpoint endpoint,
                   std::function<Uuid()> installationId, Finished finished);
  ~BatteryEstimator();
  BatteryEstimator(const BatteryEstimator&) = delete;
  BatteryEstimator& operator=(const BatteryEstimator&) = delete;

  // startBatteryEstimate: asks unless this charge was asked for already.
  void start(const HistoryAPI::BatteryInput& input);
  // Forgets input, estimate and the request in flight (device change).
  void clear();

  bool taskRuns() const { return batteryTask_ && batteryTask_->isActive(); }
  const std::optional<HistoryAPI::BatteryInput>& batteryInput() const { return batteryInput_; }
  const std::optional<HistoryAPI::BatteryEstimate>& batteryEstimate() const {
    return batteryEstimate_;
  }

 private:
  // The benchmark fills the state a long run would produce.
  friend class ControllerPeer;

  void finished(const HistoryAPI::BatteryInput& input,
                Result<HistoryAPI::BatteryEstimate> estimate);

  MainQueue& queue_;
  HistoryAPI::Endpoint endpoint_;
  std::function<Uuid()> installationId_;
  Finished finished_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  std::optional<HistoryAPI::BatteryInput> batteryInput_;
  std::optional<HistoryAPI::BatteryEstimate> batteryEstimate_;
  std::optional<TaskHandle> batteryTask_;
};

}  // namespace nimbra
