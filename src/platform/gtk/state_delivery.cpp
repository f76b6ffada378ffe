#include "platform/gtk/state_delivery.h"

#include <functional>
#include <utility>

namespace nimbra {

std::optional<StateDelivery::Delivery> StateDelivery::push(std::string stateJSON) {
  size_t hash = std::hash<std::string>{}(stateJSON);
  ++counts_.pushed;
  if (counts_.pushed == 1 || hash != lastPushedHash_) ++counts_.changed;
  lastPushedHash_ = hash;
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
  ++counts_.delivered;
  return Delivery{++lastId_, std::move(state)};
}

}  // namespace nimbra
