#include "device/model.h"

#include "devicelink/iq.h"

namespace nimbra {

Model::Model(MainQueue& mainQueue, const Clock& clock, SleepFunction sleep)
    : mainQueue_(mainQueue), clock_(clock), sleep_(std::move(sleep)) {}

Model::~Model() {
  *alive_ = false;
  // A reset pausing or an exchange waiting would otherwise hold the destructor up.
  iq_cancel_io();
}

void Model::MainHandoff::operator()(std::function<void()> apply) const {
  mainQueue_->post([alive = alive_, apply = std::move(apply)] {
    if (*alive) apply();
  });
}

Model::DeviceTicket Model::takeTicket() const {
  return {generation_, iq_connection_epoch(), selected()};
}

void Model::clearDeviceState() {
  rows_ = {};
  values_ = {};
  updated_ = std::nullopt;
  powerHint_ = std::nullopt;
}

void Model::endOperation() {
  backgroundReading_ = false;
  busy_ = false;
}

void Model::forgetDevice() {
  ++generation_;
  iq_cancel_io();
  openRefused_ = false;
  selected_ = std::string();
  devices_ = {};
  rows_ = {};
  values_ = {};
  updated_ = std::nullopt;
  powerHint_ = std::nullopt;
}

}  // namespace nimbra
