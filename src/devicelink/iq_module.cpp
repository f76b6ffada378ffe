#include "devicelink/iq_module.h"

#include <mutex>

#include "devicelink/backend_registry.h"
#include "devicelink/iq.h"

namespace nimbra::iq {
namespace {

std::mutex backendMutex;
std::shared_ptr<HidBackend> currentBackend;  // guarded by backendMutex

}  // namespace

ModuleState& state() {
  static ModuleState module;
  return module;
}

std::atomic<uint32_t>& globalEpoch() {
  static std::atomic<uint32_t> epoch{0};
  return epoch;
}

std::shared_ptr<HidBackend> installedBackend() {
  std::lock_guard lock(backendMutex);
  return currentBackend;
}

bool connectionIsCurrent() {
  const ModuleState& module = state();
  return module.device && static_cast<uint32_t>(module.connectionEpoch) ==
                              globalEpoch().load(std::memory_order_acquire);
}

}  // namespace nimbra::iq

void iq_install_backend(std::shared_ptr<nimbra::HidBackend> backend) {
  std::lock_guard lock(nimbra::iq::backendMutex);
  nimbra::iq::currentBackend = std::move(backend);
}

extern "C" void iq_cancel_io(void) { nimbra::iq::globalEpoch().fetch_add(1); }

extern "C" uint32_t iq_connection_epoch(void) {
  return nimbra::iq::globalEpoch().load(std::memory_order_acquire);
}
