#include "platform/gtk/app_seams.h"

#include <chrono>
#include <cstdlib>

#include <gio/gio.h>

#include "app/preferences.h"
#include "app/screen_state.h"
#include "app/server_endpoints.h"
#include "app/usage_data.h"
#include "core/file_system.h"
#include "devicelink/backend_registry.h"
#include "platform/gtk/nimbra_application.h"
#include "platform/hidapi_backend.h"
#include "platform/udev_presence_source.h"
#include "sim/demo_wiring.h"
#include "telemetry/installation_identity.h"

namespace nimbra {
namespace {

constexpr std::chrono::milliseconds kQuitForInstallerPause{400};
// The one notification nimbra sends; a new one replaces the last.
constexpr char kChargeNotificationId[] = "charged";

// The user's data folder; with none at all (no XDG_DATA_HOME, no HOME, no account record) a
// place that does not exist, so every read finds nothing and every write fails visibly.
LocalStorage userStorage() {
  if (Result<LocalStorage> storage = LocalStorage::forCurrentUser()) return *storage;
  return LocalStorage(std::filesystem::path("/nonexistent") / ".local" / "share",
                      KeyCache::process());
}

}  // namespace

AppSeams::AppSeams(LocalStorage storage, LaunchOptions options, const std::string& updateBaseUrl,
                   GApplication* application)
    : storage(storage),
      settings(storage),
      sharing(AppSharing::shareLink(updateBaseUrl), painter, clipboard),
      options(std::move(options)),
      notifier_(application),
      autostart_(NimbraApplication::kApplicationId) {}

AppSeams::~AppSeams() {
  (void)telemetry_.release();
  (void)updater_.release();
}

std::unique_ptr<AppSeams> AppSeams::assemble(LaunchOptions options, GApplication* application) {
  // The build's servers, or the demo's loopback server (only with the simulated device). A
  // server the build does not name is not there: its calls are never made (post_json.h,
  // update_source.h) and without an update server there is no download link to share.
  ServerEndpoints::Servers servers =
      ServerEndpoints::fromProcessEnvironment(options.simulatedDevice);
  std::unique_ptr<AppSeams> seams(
      new AppSeams(userStorage(), std::move(options), servers.updateBaseUrl, application));
  // Before the first write of this run: assemble runs from "startup", which GApplication
  // runs only in the one primary instance, so no other writer can own a temporary file.
  (void)seams->storage.removeAbandonedTemporaries();
  seams->presentation = Preferences::loadPreferences(seams->settings);
  seams->background_ = std::make_unique<BackgroundMode>(
      seams->settings, seams->autostart_, runningExecutable(), NimbraApplication::kApplicationId);

  if (seams->options.simulatedDevice) {
    // The demo only: never chosen by any other condition.
    sim::DemoWiring demo = sim::DemoWiring::install(
        seams->clock.now(), [](const char* name) { return std::getenv(name); });
    seams->presence_ = std::move(demo.presence);
    seams->demoTicker_ =
        std::make_unique<DemoTicker>(demo.device, seams->queue, seams->clock, demo.controlFile);
    seams->simulation_ = demo.device;
  } else {
    iq_install_backend(std::make_shared<HidapiBackend>());
    // udev's monitor keeps its own watcher thread (it only reads and posts to the queue).
    seams->presence_ = std::make_unique<UdevPresenceSource>();
  }

  seams->analysisEndpoint = servers.api;

  seams->telemetry_ = Telemetry::createShared(Telemetry::SharedHooks{
      .queue = &seams->queue,
      .installationId = installationId,
      .isApplicationActive = [active = &seams->windowActive] { return *active; },
      .endpoint = servers.api,
      // Before the first record: a user who turned sending off gets nothing recorded at all.
      .enabled = UsageData::load(seams->settings).enabled,
  });

  // The one self-updater; it quits the program once the installer has been started.
  seams->updater_ = AppUpdater::createShared(AppUpdater::SharedHooks{
      .queue = &seams->queue,
      // The installer waits for this process to end; the short pause lets the page paint
      // "installing" before the window closes.
      .terminate =
          [queue = &seams->queue, application] {
            (void)queue->postAfter(kQuitForInstallerPause,
                                   [application] { g_application_quit(application); });
          },
      .baseUrl = servers.updateBaseUrl,
      .transport = servers.updateTransport,
  });
  return seams;
}

void AppSeams::batteryRead(const std::string& serial, std::optional<int64_t> battery,
                           const std::string& language) {
  if (!chargeNotice_.observe(serial, battery)) return;
  if (!background_->preferences().chargeNotice) return;
  ChargeNotice::Texts texts = ChargeNotice::texts(language, maskSerial(serial));
  notifier_.send(kChargeNotificationId, texts.title, texts.body);
}

std::string AppSeams::effectiveLanguage(const std::string& language) {
  return Preferences::effectiveLanguage(language);
}

Uuid AppSeams::installationId() { return InstallationIdentity::installationID(); }

}  // namespace nimbra
