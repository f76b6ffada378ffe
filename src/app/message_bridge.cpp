#include "app/message_bridge.h"

#include "app/controller.h"

namespace nimbra {

void MessageBridge::receive(std::string_view bodyJSON) const {
  nlohmann::json body = nlohmann::json::parse(bodyJSON, nullptr, /*allow_exceptions=*/false);
  if (body.is_discarded()) return;
  receive(body);
}

void MessageBridge::receive(const nlohmann::json& body) const {
  if (std::shared_ptr<Controller> target = target_.lock()) target->handleAction(body);
}

}  // namespace nimbra
