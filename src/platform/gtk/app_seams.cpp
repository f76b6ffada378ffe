#include "platform/gtk/app_seams.h"

#include <gio/gio.h>
#include <pwd.h>
#include <unistd.h>

#include "app/preferences.h"
#include "devicelink/backend_registry.h"
#include "nimbra/build_config.h"
#include "platform/hidapi_backend.h"
#include "platform/udev_presence_source.h"
#include "sim/simulated_device.h"
#include "sim/simulated_hid_backend.h"
#include "sim/simulated_presence_source.h"
#include "telemetry/installation_identity.h"
#include "telemetry/telemetry.h"
#include "update/app_updater.h"

namespace nimbra {
namespace {

constexpr char kDemoSerial[] = "SIM0000000001";
constexpr char kDemoPort[] = "1-1";

// $XDG_DATA_HOME or ~/.local/share; without HOME, the account's home directory.
LocalStorage userStorage() {
  if (Result<LocalStorage> storage = LocalStorage::forCurrentUser()) return *storage;
  const passwd* account = ::getpwuid(::getuid());
  std::filesystem::path home = account != nullptr && account->pw_dir != nullptr
                                   ? std::filesystem::path(account->pw_dir)
                                   : std::filesystem::path("/nonexistent");
  return LocalStorage(home / ".local" / "share", KeyCache::process());
}

}  // namespace

AppSeams::AppSeams(LocalStorage storage, LaunchOptions options)
    : storage(storage),
      settings(storage),
      sharing(AppSharing::shareLink(NIMBRA_UPDATE_BASE_URL), painter, clipboard),
      options(std::move(options)) {}

std::unique_ptr<AppSeams> AppSeams::assemble(LaunchOptions options) {
  std::unique_ptr<AppSeams> seams(new AppSeams(userStorage(), std::move(options)));
  seams->presentation = Preferences::loadPreferences(seams->settings);

  if (seams->options.simulatedDevice) {
    // The demo only: a simulated device answering in real time, plugged into a simulated
    // bus from the start. Never chosen by any other condition.
    auto backend = std::make_shared<sim::SimulatedHidBackend>(sim::SimulatedTime::realClock);
    backend->addDevice(sim::ilumaOne(kDemoSerial));
    auto bus = std::make_shared<SimulatedUsbBus>();
    bus->attach(kDemoPort, SimulatedUsbBus::ilumaOne(kDemoSerial));
    iq_install_backend(backend);
    seams->presence_ = std::make_unique<SimulatedPresenceSource>(bus);
    seams->simulation_ = bus;
  } else {
    iq_install_backend(std::make_shared<HidapiBackend>());
    // udev's monitor keeps its own watcher thread (it only reads and posts to the queue).
    seams->presence_ = std::make_unique<UdevPresenceSource>();
  }

  Telemetry::configureShared(Telemetry::SharedHooks{
      .queue = &seams->queue,
      .installationId = installationId,
      .isApplicationActive = [active = &seams->windowActive] { return *active; },
  });

  // The one self-updater; it quits the program once the installer has been started.
  AppUpdater::configureShared(AppUpdater::SharedHooks{
      .queue = &seams->queue,
      .terminate = [] { g_application_quit(g_application_get_default()); },
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
