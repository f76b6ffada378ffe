#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "core/clock.h"
#include "core/main_queue.h"
#include "sim/demo_device.h"

typedef struct _GFileMonitor GFileMonitor;

namespace nimbra {

// Moves the demo's device on (the demo only): ticks it when its own state next changes
// (DemoDevice::nextChangeAt, a one-shot timer) and when its control file arrives (watched
// through GIO), so an idle demo device wakes the program for nothing. Where the file cannot
// be watched, it is looked for four times a second instead.
//
// Main thread only; lives as long as the program's seams.
class DemoTicker {
 public:
  DemoTicker(std::shared_ptr<sim::DemoDevice> device, MainQueue& queue, const Clock& clock,
             const std::optional<std::filesystem::path>& controlFile);
  ~DemoTicker();
  DemoTicker(const DemoTicker&) = delete;
  DemoTicker& operator=(const DemoTicker&) = delete;

 private:
  struct Handlers;

  // Ticks the device now, then waits for its next change.
  void tick();

  std::shared_ptr<sim::DemoDevice> device_;
  MainQueue& queue_;
  const Clock& clock_;
  TaskHandle next_;
  TaskHandle poll_;  // only without a file monitor
  GFileMonitor* monitor_ = nullptr;
};

}  // namespace nimbra
