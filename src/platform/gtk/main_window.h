#pragma once

#include <memory>
#include <string>

#include "platform/gtk/app_seams.h"
#include "platform/gtk/controller_wiring.h"
#include "platform/gtk/share_popover.h"
#include "platform/gtk/web_page_view.h"

typedef struct _GtkApplication GtkApplication;
typedef struct _GtkWidget GtkWidget;

namespace nimbra {

// nimbra's one window: titled "nimbra", 730 × 657 by default, its content (the web view)
// never smaller than 700 × 540, with a compact header bar. It owns the web view, the share
// popover and the controller; closing it destroys them, and with the last window the
// application quits. Becoming the active window records a "foreground" event.
// Main thread only.
class MainWindow {
 public:
  static constexpr int kDefaultWidth = 730;
  static constexpr int kDefaultHeight = 657;
  static constexpr int kMinimumWidth = 700;
  static constexpr int kMinimumHeight = 540;

  MainWindow(GtkApplication* application, AppSeams& seams);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  void present();

 private:
  struct Handlers;
  void startupReport(const char* event);

  AppSeams& seams_;
  GtkWidget* window_;
  std::shared_ptr<WebPageView> view_;
  std::unique_ptr<SharePopover> popover_;
  WindowController controller_;
  bool rendered_ = false;
  std::string report_;  // what the start-up report file holds so far
};

}  // namespace nimbra
