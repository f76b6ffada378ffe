// Built only while the controller (app/controller.h) is not in the tree; see CMakeLists.txt.
// It gives the window what the controller would at the page's load: the sharing
// configuration and one screen state with no device attached, so the window can be built and
// tested on its own. It never pretends a device is there. Delete once the controller lands.

#include <nlohmann/json.hpp>

#include "platform/gtk/controller_wiring.h"

namespace nimbra {
namespace {

std::string noDeviceState(AppSeams& seams) {
  AppUpdaterState update = seams.updater().state();
  nlohmann::ordered_json state;
  state["preferences"] = {{"language", seams.presentation.language},
                          {"theme", seams.presentation.theme}};
  state["effectiveLanguage"] = AppSeams::effectiveLanguage(seams.presentation.language);
  state["connected"] = false;
  state["busy"] = false;
  state["initialReading"] = false;
  state["connectionFailed"] = false;
  state["cablePresent"] = false;
  state["message"] = "";
  state["settings"] = nlohmann::ordered_json::object();
  state["recent"] = nlohmann::ordered_json::array();
  state["analyzing"] = false;
  state["readingHistory"] = false;
  state["resetWaiting"] = false;
  state["settingRecords"] = nlohmann::ordered_json::array();
  state["settingJournalError"] = false;
  state["maintenanceRecords"] = nlohmann::ordered_json::array();
  state["appUpdate"] = {{"version", update.version},
                        {"build", update.build},
                        {"phase", update.phase},
                        {"automatic", update.automatic}};
  return state.dump();
}

}  // namespace

WindowController makeWindowController(AppSeams& seams, std::weak_ptr<PageView> page) {
  return WindowController{
      .owner = nullptr,
      .pageFinishedLoading =
          [&seams, page] {
            std::shared_ptr<PageView> view = page.lock();
            if (!view) return;
            nlohmann::ordered_json sharing;
            sharing["url"] = seams.sharing.link();
            sharing["qr"] = seams.sharing.qrDataURL(false).value_or("");
            sharing["qrDark"] = seams.sharing.qrDataURL(true).value_or("");
            view->evaluate("window.configureSharing(" + sharing.dump() + ")");
            view->render(noDeviceState(seams));
          },
      .pageMessage =
          [&seams](const std::string& body) {
            nlohmann::json message = nlohmann::json::parse(body, nullptr, false);
            if (!message.is_object() || !message.contains("action")) return;
            if (message["action"] == "share-link") seams.sharing.copyLink();
            if (message["action"] == "share-qr") seams.sharing.copyQR(message.value("dark", false));
          },
  };
}

}  // namespace nimbra
