#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "app/controller.h"
#include "core/manual_main_queue.h"
#include "devicelink/backend_registry.h"
#include "devicelink/iq.h"
#include "sim/simulated_hid_backend.h"
#include "sim/simulated_presence_source.h"
#include "storage/key_cache.h"
#include "support/controller_fakes.h"
#include "support/temporary_folder.h"

namespace nimbra::bench {

// A controller serving one simulated device, its page loaded and the first read settled, in
// a folder of its own: the world the controller benchmarks measure in. Main thread only; the
// simulated backend is installed for the world's lifetime.
struct ControllerWorld {
  struct Options {
    sim::SimulatedDeviceState device = sim::ilumaOne("BENCH00000001");
    Date start = Date{} + std::chrono::hours(24 * 365 * 56);
    // Fills the data directory before the controller opens its stores.
    std::function<void(ControllerWorld&)> prepare;
    // The program's sample writer on its own thread (Controller::Seams).
    bool writerThread = false;
    // What else must be finished before settle() returns (e.g. appends being written).
    std::function<bool(const Controller&)> quiet;
  };

  explicit ControllerWorld(Options options)
      : clock(options.start), quietToo(std::move(options.quiet)) {
    page->keepAll = false;
    page->readyAnswer = false;
    updater.current.availableVersion = "1.5.0";
    if (options.prepare) options.prepare(*this);
    hid->addDevice(options.device);
    iq_install_backend(hid);
    usb->attach("1-1", SimulatedUsbBus::ilumaOne(options.device.serial));
    HistoryAPI::Endpoint nowhere{"http://127.0.0.1:9", std::chrono::seconds(1)};
    telemetry = std::make_unique<Telemetry>(Telemetry::Seams{queue,
                                                             clock,
                                                             [] { return 1.0; },
                                                             [] { return Uuid(); },
                                                             {},
                                                             storage(),
                                                             nowhere,
                                                             "Linux",
                                                             "1",
                                                             "1.0"});
    controller =
        Controller::create(Controller::Seams{queue,
                                             clock,
                                             storage(),
                                             LocalSettings(storage()),
                                             {},
                                             {},
                                             std::make_unique<SimulatedPresenceSource>(usb),
                                             *telemetry,
                                             [] { return Uuid(); },
                                             nowhere,
                                             sharing,
                                             updater,
                                             page,
                                             {},
                                             [](std::chrono::milliseconds) {},
                                             {},
                                             {},
                                             options.writerThread});
    controller->pageFinishedLoading();
    settle();
  }
  ~ControllerWorld() {
    controller.reset();
    telemetry.reset();
    iq_close();
    iq_install_backend(nullptr);
  }
  ControllerWorld(const ControllerWorld&) = delete;
  ControllerWorld& operator=(const ControllerWorld&) = delete;

  // Runs the queue until the device is idle, no server call is out and `quiet` holds.
  void settle() {
    auto quiet = [&] {
      return !controller->model().busy() && HistoryAPI::callsInFlight() == 0 &&
             (!quietToo || quietToo(*controller));
    };
    for (int i = 0; i < 50; ++i) {
      queue.runUntil(quiet);
      if (queue.runPending() == 0 && quiet()) return;
    }
  }
  LocalStorage storage() { return LocalStorage(base, keys); }

  testing::TemporaryFolder folder{"nimbra-bench"};
  std::filesystem::path base = folder.path();
  KeyCache keys;
  std::shared_ptr<sim::SimulatedHidBackend> hid = std::make_shared<sim::SimulatedHidBackend>();
  std::shared_ptr<SimulatedUsbBus> usb = std::make_shared<SimulatedUsbBus>();
  ManualMainQueue queue;
  FakeClock clock;
  std::shared_ptr<testing::RecordingPage> page = std::make_shared<testing::RecordingPage>();
  testing::FakeSharing sharing;
  testing::FakeUpdater updater;
  std::unique_ptr<Telemetry> telemetry;
  std::shared_ptr<Controller> controller;

 private:
  std::function<bool(const Controller&)> quietToo;
};

}  // namespace nimbra::bench
