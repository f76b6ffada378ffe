#pragma once

#include <memory>

#include "platform/gtk/app_seams.h"
#include "platform/gtk/main_window.h"

typedef struct _GtkApplication GtkApplication;

namespace nimbra {

// The GtkApplication "com.zuvo.devicecenter": one instance per session bus. A second start
// hands its activation to the running instance, which presents its window, and exits; no
// second window is ever made. "startup" is the launch hook (seams, updater checks,
// telemetry, icon); "activate" makes or presents the window, and so does "app.show-window"
// (the notification's click). With background mode a closed window is only hidden, and the
// application runs until quit (Ctrl+Q). Main thread only.
class NimbraApplication {
 public:
  static constexpr char kApplicationId[] = "com.zuvo.devicecenter";
  // The icon is installed under the application id, as desktop conventions ask.
  static constexpr char kIconName[] = "com.zuvo.devicecenter";

  explicit NimbraApplication(LaunchOptions options);
  ~NimbraApplication();
  NimbraApplication(const NimbraApplication&) = delete;
  NimbraApplication& operator=(const NimbraApplication&) = delete;

  // Runs the main loop until the window closes; the process's exit status. Only argv[0] is
  // handed to GApplication: nimbra's own switches are read before, and GApplication would
  // refuse them.
  int run(const char* argv0);

 private:
  struct Handlers;
  LaunchOptions options_;
  GtkApplication* application_;
  std::unique_ptr<AppSeams> seams_;
  std::unique_ptr<MainWindow> window_;
};

}  // namespace nimbra
