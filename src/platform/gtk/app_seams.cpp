#include "platform/gtk/app_seams.h"

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

namespace nimbra {
namespace {

constexpr char kDemoSerial[] = "SIM0000000001";
constexpr char kDemoPort[] = "1-1";

// The updater until the self-updater is part of the program: it reports the running
// version in phase "idle" and never checks. Replaced by AppUpdater::shared() (see assemble).
class IdleUpdater final : public Updater {
 public:
  AppUpdaterState state() const override {
    return AppUpdaterState{NIMBRA_VERSION, NIMBRA_BUILD, "idle", std::nullopt, true};
  }
  void checkForUpdates(bool) override {}
  void setOnChange(std::function<void()>) override {}
  void setCanInstall(std::function<bool()>) override {}
  void writeHealthMarker(const std::vector<std::string>&) override {}
};

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

  // The self-updater: AppUpdater::configureShared({&queue, quit}) and &AppUpdater::shared()
  // once it is part of the program; until then an updater that stays idle.
  seams->ownedUpdater_ = std::make_unique<IdleUpdater>();
  seams->updater_ = seams->ownedUpdater_.get();
  seams->startChecks_ = [] {};
  return seams;
}

std::string AppSeams::effectiveLanguage(const std::string& language) {
  return Preferences::effectiveLanguage(language);
}

Uuid AppSeams::installationId() { return InstallationIdentity::installationID(); }

}  // namespace nimbra
