#pragma once

#include <memory>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nimbra {

class Controller;

// The handler of the page's "nimbra" script messages. It holds the controller weakly and
// forwards each body to Controller::handleAction; a message arriving after the controller is
// gone is dropped. The origin check (main frame, the loaded page's URL) is the web view's.
// Main thread only.
class MessageBridge {
 public:
  explicit MessageBridge(std::weak_ptr<Controller> target) : target_(std::move(target)) {}

  // The body as the page posted it, serialised as JSON text. Text that is not JSON is
  // dropped; every other shape is the controller's to judge.
  void receive(std::string_view bodyJSON) const;
  void receive(const nlohmann::json& body) const;

 private:
  std::weak_ptr<Controller> target_;
};

}  // namespace nimbra
