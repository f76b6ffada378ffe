#include "sim/demo_wiring.h"

#include <span>
#include <string>

#include "core/file_system.h"
#include "devicelink/backend_registry.h"
#include "sim/simulated_presence_source.h"

namespace nimbra::sim {

DemoWiring DemoWiring::install(Date now, const std::function<const char*(const char*)>& getenv) {
  DemoWiring wiring;
  wiring.device = std::make_shared<DemoDevice>(now);
  if (const char* control = getenv("NIMBRA_DEMO_CONTROL"); control != nullptr && *control) {
    wiring.controlFile = control;
    wiring.device->setControlFile(control);
    // "report": the device's state beside the control file, for tests to compare.
    wiring.device->setReportSink([state = std::string(control) + ".state"](const DemoSnapshot& at) {
      const std::string json = demoSnapshotJson(at);
      (void)writeFileAtomically(
          state, std::span(reinterpret_cast<const uint8_t*>(json.data()), json.size()));
    });
  }
  iq_install_backend(wiring.device->makeBackend());
  wiring.presence = std::make_unique<SimulatedPresenceSource>(wiring.device->bus());
  return wiring;
}

}  // namespace nimbra::sim
