// The page's "nimbra" script messages, through the message bridge, against one controller
// built at start-up over the simulated device (plugged in and loaded), with the stores in a
// scratch folder removed at exit. After each message the main queue runs until nothing is
// left: the model must not stay busy, and every state rendered must be a JSON object.
// Fake time moves one second per message so that the controller's timers (the reset wait,
// the device poll) fire too.
//
// Input: the message body as JSON text. "{connection}" in it stands for the controller's
// connection id, which a reset must name and a fuzzer cannot guess.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "app/controller.h"
#include "app/message_bridge.h"
#include "core/manual_main_queue.h"
#include "devicelink/backend_registry.h"
#include "sim/simulated_hid_backend.h"
#include "sim/simulated_presence_source.h"
#include "storage/key_cache.h"
#include "support/controller_fakes.h"
#include "support/temporary_folder.h"

namespace {

using namespace nimbra;

void check(bool condition) {
  if (!condition) std::abort();
}

// Everything the controller needs, built once per process and never destroyed: the device
// link and the queues run on threads that must not see the objects go away under them. Only
// the scratch folder goes, at exit.
struct World {
  explicit World(std::filesystem::path scratch) : base(std::move(scratch)) {
    iq_install_backend(bus);
    telemetry = std::make_unique<Telemetry>(Telemetry::Seams{
        .queue = queue,
        .clock = clock,
        .uptime = [] { return 100.0; },
        .installationId = [] { return installation; },
        .isApplicationActive = {},
        .storage = LocalStorage(base, cache),
        .endpoint = {"http://127.0.0.1:9", std::chrono::seconds(1)},
        .os = "Linux Fuzz",
        .appBuild = "7",
        .appVersion = "1.2.3",
    });
    controller = Controller::create(Controller::Seams{
        .queue = queue,
        .clock = clock,
        .storage = LocalStorage(base, cache),
        .settings = LocalSettings(LocalStorage(base, cache)),
        .presentation = {},
        .effectiveLanguage = {},
        .presenceSource = std::make_unique<SimulatedPresenceSource>(usb),
        .telemetry = *telemetry,
        .installationId = [] { return installation; },
        .analysisEndpoint = {"http://127.0.0.1:9", std::chrono::seconds(1)},
        .sharing = sharing,
        .updater = updater,
        .page = page,
        .arguments = {},
        .sleep = [](std::chrono::milliseconds) {},
    });
    settle();
    controller->pageFinishedLoading();
    settle();
    bus->addDevice(sim::ilumaOne("SIM0000000001"));
    usb->attach("1-1", SimulatedUsbBus::ilumaOne("SIM0000000001"));
    settle();
  }

  static World& instance() {
    static testing::TemporaryFolder scratch("nimbra-fuzz-page");
    static World* world = new World(scratch.path());
    return *world;
  }

  // Every state rendered since the last call must be a JSON object; then forgets what the
  // fakes recorded, so a long run does not grow.
  void checkAndForget() {
    for (const std::string& state : page->renders) {
      check(nlohmann::json::parse(state, nullptr, false).is_object());
    }
    page->renders.clear();
    page->scripts.clear();
    page->pickers.clear();
    sharing.texts.clear();
    sharing.qrCopies.clear();
    updater.checks.clear();
    updater.healthMarkers.clear();
  }

  // Runs the main queue, waiting for the device queue, until nothing is left to do now.
  void settle() {
    for (int round = 0; round < 50; ++round) {
      check(queue.runUntil([this] { return !controller || !controller->model().busy(); },
                           std::chrono::seconds(5)));
      if (queue.runPending() == 0 && (!controller || !controller->model().busy())) return;
    }
    std::abort();  // still finding work after 50 rounds: a loop
  }

  inline static const Uuid installation = *Uuid::parse("0E5C3D2A-1B4F-4A6E-9C8D-7F6E5D4C3B2A");

  ManualMainQueue queue;
  FakeClock clock{Date{} + std::chrono::hours(24 * 365 * 56)};
  std::filesystem::path base;
  KeyCache cache;
  std::shared_ptr<sim::SimulatedHidBackend> bus =
      std::make_shared<sim::SimulatedHidBackend>(sim::SimulatedTime::virtualClock);
  std::shared_ptr<SimulatedUsbBus> usb = std::make_shared<SimulatedUsbBus>();
  std::shared_ptr<testing::RecordingPage> page = std::make_shared<testing::RecordingPage>();
  testing::FakeSharing sharing;
  testing::FakeUpdater updater;
  std::unique_ptr<Telemetry> telemetry;
  std::shared_ptr<Controller> controller;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& world = World::instance();
  std::string body(reinterpret_cast<const char*>(data), size);
  constexpr std::string_view kPlaceholder = "{connection}";
  for (size_t at = body.find(kPlaceholder); at != std::string::npos;
       at = body.find(kPlaceholder, at)) {
    body.replace(at, kPlaceholder.size(), world.controller->connectionId().text());
  }
  MessageBridge(world.controller).receive(std::string_view(body));
  world.settle();
  world.clock.advance(std::chrono::seconds(1));
  world.queue.advance(std::chrono::seconds(1));
  world.settle();
  world.checkAndForget();
  return 0;
}
