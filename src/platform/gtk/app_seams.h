#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_sharing.h"
#include "app/background_mode.h"
#include "app/charge_notice.h"
#include "app/presentation.h"
#include "core/clock.h"
#include "core/uuid.h"
#include "devicelink/presence_source.h"
#include "platform/glib_main_queue.h"
#include "platform/gtk/demo_ticker.h"
#include "platform/gtk/gdk_clipboard.h"
#include "platform/gtk/gio_notifier.h"
#include "platform/gtk/native_save_chooser.h"
#include "platform/gtk/qr_picture.h"
#include "platform/gtk/xdg_autostart.h"
#include "server/post_json.h"
#include "storage/local_settings.h"
#include "storage/local_storage.h"
#include "telemetry/telemetry.h"
#include "update/app_updater.h"

namespace nimbra {

// How the program was started, as the application shell read it from the command line and
// the environment.
struct LaunchOptions {
  // NIMBRA_SIMULATED_DEVICE=1: the live demo device on a simulated bus, and the demo's
  // servers (NIMBRA_DEMO_SERVER, NIMBRA_DEMO_CA) if given.
  bool simulatedDevice = false;
  // "--automation": WebKitWebDriver may drive the view (end-to-end tests).
  bool automation = false;
  // "--hidden": the first activation makes the window without showing it (the autostart
  // entry's start, with background mode).
  bool hidden = false;
  // The command line without argv[0], for the updater's health marker.
  std::vector<std::string> arguments;
};

// The program's composition root: every real seam of the running program and the long-lived
// objects built from them, assembled in one place (app_seams.cpp) and owned here. The GLib
// main queue, the HID backend (hidapi, or the demo's simulator), the presence source, the
// user's storage and settings, the shared telemetry and updater, sharing, the notifier, the
// autostart entry, background mode and the charge notification's rule. The controller is
// built over these by controller_wiring.cpp and held by the window, which lives as long as the
// application (hidden, not destroyed, while background mode keeps nimbra running). Lives for
// the whole process; main thread only.
class AppSeams {
 public:
  // Installs the HID backend and creates the shared telemetry and updater: call once, in the
  // application's startup, after GTK is initialised. `application` sends the notifications.
  static std::unique_ptr<AppSeams> assemble(LaunchOptions options, GApplication* application);
  ~AppSeams();
  AppSeams(const AppSeams&) = delete;
  AppSeams& operator=(const AppSeams&) = delete;

  GlibMainQueue queue;
  SystemClock clock;
  LocalStorage storage;
  LocalSettings settings;
  PresentationPreferences presentation;
  CairoQrPainter painter;
  GdkClipboardWriter clipboard;
  AppSharing sharing;
  NativeSaveChooser saveChooser;  // where the page's exports are saved
  const LaunchOptions options;
  // The analysis and battery server: the build's, or the demo's.
  HistoryAPI::Endpoint analysisEndpoint;
  // Whether nimbra's window is the active one; the application keeps it current.
  bool windowActive = false;

  Telemetry& telemetry() { return *telemetry_; }
  Updater& updater() { return *updater_; }
  void startAutomaticChecks() { updater_->startAutomaticChecks(); }
  BackgroundMode& background() { return *background_; }
  // After each new status read of the served device: sends the "fully charged" notification
  // when it is due (charge_notice.h) and the user has not turned it off.
  void batteryRead(const std::string& serial, std::optional<int64_t> battery,
                   const std::string& language);
  // The presence source for the controller's USB monitor; null after the first call.
  std::unique_ptr<PresenceSource> takePresenceSource() { return std::move(presence_); }

  // "zh" or "en" for a stored language.
  static std::string effectiveLanguage(const std::string& language);
  static Uuid installationId();

 private:
  AppSeams(LocalStorage storage, LaunchOptions options, const std::string& updateBaseUrl,
           GApplication* application);

  // Both live until the process ends (the destructor lets them go): a transfer's or an
  // upload's completion may still arrive after the main loop.
  std::unique_ptr<Telemetry> telemetry_;
  std::unique_ptr<AppUpdater> updater_;
  GioNotifier notifier_;
  XdgAutostart autostart_;
  std::unique_ptr<BackgroundMode> background_;
  ChargeNotice chargeNotice_;
  std::unique_ptr<PresenceSource> presence_;
  // Keeps the demo device (and its bus) alive for the demo.
  std::shared_ptr<void> simulation_;
  std::unique_ptr<DemoTicker> demoTicker_;  // the demo only: moves the device on
};

}  // namespace nimbra
