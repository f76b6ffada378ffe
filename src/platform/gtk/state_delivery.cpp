#include "platform/gtk/state_delivery.h"

#include <utility>

namespace nimbra {

std::optional<StateDelivery::Delivery> StateDelivery::push(std::string stateJSON) {
  waiting_ = std::move(stateJSON);
  return deliverWaiting();
}

std::optional<StateDelivery::Delivery> StateDelivery::setVisible(bool visible) {
  visible_ = visible;
  return deliverWaiting();
}

void StateDelivery::pageLoaded() { delivered_.reset(); }

void StateDelivery::failed(uint64_t id) {
  if (id == lastId_) delivered_.reset();
}

std::optional<StateDelivery::Delivery> StateDelivery::deliverWaiting() {
  if (!visible_ || !waiting_) return std::nullopt;
  std::string state = std::move(*waiting_);
  waiting_.reset();
  if (delivered_ == state) return std::nullopt;
  delivered_ = state;
  return Delivery{++lastId_, std::move(state)};
}

}  // namespace nimbra
