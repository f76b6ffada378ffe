#include "app/battery_estimator.h"

#include <utility>

namespace nimbra {

BatteryEstimator::BatteryEstimator(MainQueue& queue, HistoryAPI::Endpoint endpoint,
                                   std::function<Uuid()> installationId, Finished finished)
    : queue_(queue),
      endpoint_(std::move(endpoint)),
      installationId_(std::move(installationId)),
      finished_(std::move(finished)) {}

BatteryEstimator::~BatteryEstimator() { clear(); }

void BatteryEstimator::start(const HistoryAPI::BatteryInput& input) {
  if (!endpoint_.configured()) return;
  if (batteryInput_ && batteryInput_->charge == input.charge) return;
  batteryInput_ = input;
  if (batteryTask_) batteryTask_->cancel();
  batteryTask_ = HistoryAPI::estimateBattery(queue_, endpoint_, installationId_(), input,
                                             [this, alive = std::weak_ptr<bool>(alive_),
                                              input](Result<HistoryAPI::BatteryEstimate> estimate) {
                                               if (alive.lock())
                                                 finished(input, std::move(estimate));
                                             });
}

void BatteryEstimator::clear() {
  if (batteryTask_) batteryTask_->cancel();
  batteryTask_.reset();
  batteryInput_.reset();
  batteryEstimate_.reset();
}

void BatteryEstimator::finished(const HistoryAPI::BatteryInput& input,
                                Result<HistoryAPI::BatteryEstimate> estimate) {
  // A cancelled request never completes; one that was replaced by a newer input is dropped.
  if (!batteryInput_ || *batteryInput_ != input) return;
  batteryTask_.reset();
  if (!estimate) {
    batteryInput_.reset();
    finished_(false);
    return;
  }
  bool changed = !batteryEstimate_ || batteryEstimate_->predictedUses != estimate->predictedUses;
  batteryEstimate_ = *estimate;
  finished_(changed);
}

}  // namespace nimbra
