#include "platform/gtk/controller_wiring.h"

#include "app/controller.h"
#include "app/message_bridge.h"
#include "app/resource_location.h"
#include "core/file_system.h"
#include "platform/gtk/diagnostics_command.h"
#include "server/post_json.h"

namespace nimbra {

WindowController makeWindowController(AppSeams& seams, std::weak_ptr<PageView> page) {
  std::shared_ptr<Controller> controller = Controller::create(Controller::Seams{
      .queue = seams.queue,
      .clock = seams.clock,
      .storage = seams.storage,
      .settings = seams.settings,
      .presentation = seams.presentation,
      .effectiveLanguage = AppSeams::effectiveLanguage,
      .presenceSource = seams.takePresenceSource(),
      .telemetry = seams.telemetry(),
      .installationId = AppSeams::installationId,
      .analysisEndpoint = seams.analysisEndpoint,
      .sharing = seams.sharing,
      .updater = seams.updater(),
      .page = std::move(page),
      .arguments = seams.options.arguments,
      .accessFix = [] { return DeviceAccess::currentFix(runningExecutable()); },
      // On the main thread, when the page asks: a udev listing and a walk of nimbra's folders.
      .diagnosticsFacts =
          [simulated = seams.options.simulatedDevice] {
            return DiagnosticsCommand::gatherFacts(true, simulated);
          },
      .sampleWriterThread = true,
      .batteryRead =
          [&seams](const std::string& serial, std::optional<int64_t> battery,
                   const std::string& language) { seams.batteryRead(serial, battery, language); },
      .fileChooser = &seams.saveChooser,
  });
  auto bridge = std::make_shared<MessageBridge>(std::weak_ptr<Controller>(controller));
  std::weak_ptr<Controller> weak = controller;
  return WindowController{
      .owner = controller,
      .pageFinishedLoading =
          [weak] {
            if (std::shared_ptr<Controller> target = weak.lock()) target->pageFinishedLoading();
          },
      .pageMessage = [bridge](const std::string& body) { bridge->receive(std::string_view(body)); },
  };
}

}  // namespace nimbra
