#include "platform/gtk/app_seams.h"

#include <chrono>
#include <cstdlib>

#include <gio/gio.h>

#include "app/demo_servers.h"
#include "app/preferences.h"
#include "app/usage_data.h"
#include "core/file_system.h"
#include "devicelink/backend_registry.h"
#include "platform/hidapi_backend.h"
#include "platform/udev_presence_source.h"
#include "sim/demo_device.h"
#include "sim/simulated_presence_source.h"
#include "telemetry/installation_identity.h"
#include "telemetry/telemetry.h"
#include "update/app_updater.h"

namespace nimbra {
namespace {

constexpr std::chrono::milliseconds kQuitForInstallerPause{400};

// The user's data folder; with none at all (no XDG_DATA_HOME, no HOME, no account record) a
// place that does not exist, so every read finds nothing and every write fails visibly.
LocalStorage userStorage() {
  if (Result<LocalStorage> storage = LocalStorage::forCurrentUser()) return *storage;
  return LocalStorage(std::filesystem::path("/nonexistent") / ".local" / "share",
                      KeyCache::process());
}

}  // namespace

AppSeams::AppSeams(LocalStorage storage, LaunchOptions options, const std::string& updateBaseUrl)
    : storage(storage),
      settings(storage),
      sharing(AppSharing::shareLink(updateBaseUrl), painter, clipboard),
      options(std::move(options)) {}

std::unique_ptr<AppSeams> AppSeams::assemble(LaunchOptions options) {
  // The build's servers, or the demo's loopback server (only with the simulated device). A
  // server the build does not name is not there: its calls are never made (post_json.h,
  // update_source.h) and without an update server there is no download link to share.
  DemoServers::Servers servers = DemoServers::fromProcessEnvironment(options.simulatedDevice);
  std::unique_ptr<AppSeams> seams(
      new AppSeams(userStorage(), std::move(options), servers.updateBaseUrl));
  // Before the first write of this run: assemble runs from "startup", which GApplication
  // runs only in the one primary instance, so no other writer can own a temporary file.
  (void)seams->storage.removeAbandonedTemporaries();
  seams->presentation = Preferences::loadPreferences(seams->settings);

  if (seams->options.simulatedDevice) {
    // The demo only: the live demo device, plugged into a simulated bus from the start and
    // moved on by the main queue. Never chosen by any other condition.
    auto demo = std::make_shared<sim::DemoDevice>(seams->clock.now());
    std::optional<std::filesystem::path> controlFile;
    if (const char* control = std::getenv("NIMBRA_DEMO_CONTROL"); control != nullptr && *control) {
      controlFile = control;
      demo->setControlFile(control);
      // "report": the device's state beside the control file, for tests to compare.
      demo->setReportSink([state = std::string(control) + ".state"](const sim::DemoSnapshot& now) {
        const std::string json = sim::demoSnapshotJson(now);
        (void)writeFileAtomically(
            state, std::span(reinterpret_cast<const uint8_t*>(json.data()), json.size()));
      });
    }
    iq_install_backend(demo->makeBackend());
    seams->presence_ = std::make_unique<SimulatedPresenceSource>(demo->bus());
    seams->demoTicker_ =
        std::make_unique<DemoTicker>(demo, seams->queue, seams->clock, controlFile);
    seams->simulation_ = demo;
  } else {
    iq_install_backend(std::make_shared<HidapiBackend>());
    // udev's monitor keeps its own watcher thread (it only reads and posts to the queue).
    seams->presence_ = std::make_unique<UdevPresenceSource>();
  }

  seams->analysisEndpoint = servers.api;

  Telemetry::configureShared(Telemetry::SharedHooks{
      .queue = &seams->queue,
      .installationId = installationId,
      .isApplicationActive = [active = &seams->windowActive] { return *active; },
      .endpoint = servers.api,
      // Before the first record: a user who turned sending off gets nothing recorded at all.
      .enabled = UsageData::load(seams->settings).enabled,
  });

  // The one self-updater; it quits the program once the installer has been started.
  AppUpdater::configureShared(AppUpdater::SharedHooks{
      .queue = &seams->queue,
      // The installer waits for this process to end; the short pause lets the page paint
      // "installing" before the window closes.
      .terminate =
          [queue = &seams->queue] {
            (void)queue->postAfter(kQuitForInstallerPause,
                                   [] { g_application_quit(g_application_get_default()); });
          },
      .baseUrl = servers.updateBaseUrl,
      .transport = servers.updateTransport,
  });
  seams->updater_ = &AppUpdater::shared();
  seams->startChecks_ = [] { AppUpdater::shared().startAutomaticChecks(); };
  return seams;
}

std::string AppSeams::effectiveLanguage(const std::string& language) {
  return Preferences::effectiveLanguage(language);
}

Uuid AppSeams::installationId() { return InstallationIdentity::installationID(); }

}  // namespace nimbra
