#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "core/clock.h"
#include "devicelink/presence_source.h"
#include "sim/demo_device.h"

namespace nimbra::sim {

// The demo's device as the program uses it (NIMBRA_SIMULATED_DEVICE=1 only): the live demo
// device installed as the device link's HID backend, plugged into a simulated bus from the
// start, with the control file NIMBRA_DEMO_CONTROL names (if any) and its "report" written
// atomically beside it as "<control>.state". The program moves the device on with its main
// queue (platform/gtk/demo_ticker.h). Main thread only.
struct DemoWiring {
  std::shared_ptr<DemoDevice> device;
  // The presence source for the controller's USB monitor, watching the device's bus.
  std::unique_ptr<PresenceSource> presence;
  std::optional<std::filesystem::path> controlFile;

  // Reads NIMBRA_DEMO_CONTROL through `getenv` (a seam for tests).
  static DemoWiring install(Date now, const std::function<const char*(const char*)>& getenv);
};

}  // namespace nimbra::sim
