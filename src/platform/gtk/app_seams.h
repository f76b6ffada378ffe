#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_sharing.h"
#include "app/presentation.h"
#include "core/clock.h"
#include "core/uuid.h"
#include "devicelink/presence_source.h"
#include "platform/glib_main_queue.h"
#include "platform/gtk/demo_ticker.h"
#include "platform/gtk/gdk_clipboard.h"
#include "platform/gtk/native_save_chooser.h"
#include "platform/gtk/qr_picture.h"
#include "server/post_json.h"
#include "storage/local_settings.h"
#include "storage/local_storage.h"
#include "update/updater.h"

namespace nimbra {

// How the program was started, as the application shell read it from the command line and
// the environment.
struct LaunchOptions {
  // NIMBRA_SIMULATED_DEVICE=1: the live demo device on a simulated bus, and the demo's
  // servers (NIMBRA_DEMO_SERVER, NIMBRA_DEMO_CA) if given.
  bool simulatedDevice = false;
  // "--automation": WebKitWebDriver may drive the view (end-to-end tests).
  bool automation = false;
  // The command line without argv[0], for the updater's health marker.
  std::vector<std::string> arguments;
};

// Every real seam of the running program, assembled in one place (app_seams.cpp): the GLib
// main queue, the HID backend (hidapi, or the simulator only for the demo), the presence
// source, the user's storage and settings, the shared telemetry, the installation identity,
// sharing and the updater. Lives for the whole process; main thread only.
class AppSeams {
 public:
  // Installs the HID backend and configures the shared telemetry: call once, in the
  // application's startup, after GTK is initialised.
  static std::unique_ptr<AppSeams> assemble(LaunchOptions options);

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

  Updater& updater() { return *updater_; }
  void startAutomaticChecks() { startChecks_(); }
  // The presence source for the controller's USB monitor; null after the first call.
  std::unique_ptr<PresenceSource> takePresenceSource() { return std::move(presence_); }

  // "zh" or "en" for a stored language.
  static std::string effectiveLanguage(const std::string& language);
  static Uuid installationId();

 private:
  AppSeams(LocalStorage storage, LaunchOptions options, const std::string& updateBaseUrl);

  Updater* updater_ = nullptr;
  std::function<void()> startChecks_;
  std::unique_ptr<PresenceSource> presence_;
  // Keeps the demo device (and its bus) alive for the demo.
  std::shared_ptr<void> simulation_;
  std::unique_ptr<DemoTicker> demoTicker_;  // the demo only: moves the device on
};

}  // namespace nimbra
