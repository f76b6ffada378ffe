// Model's module reset.

#include <algorithm>

#include "device/model.h"

namespace nimbra {

void Model::resetModules(std::function<void(bool)> done) {
  const bool resettable = std::any_of(devices().begin(), devices().end(), [&](const Device& d) {
    return d.id == selected() && d.name == iqos::kProductName;
  });
  if (busy() || !updated() || !resettable) return done(false);
  busy_ = true;
  runOnDevice<bool>(
      [ticket = takeTicket(), sleep = sleep_] {
        return resetModulesOnDevice(ticket.serial, ticket.epoch, sleep);
      },
      [this, generation = generation_, done = std::move(done)](bool reset) {
        busy_ = false;
        if (generation != generation_) return;
        clearDeviceState();
        done(reset);
      });
}

}  // namespace nimbra
