#pragma once

#include <memory>
#include <string>

#include "platform/gtk/app_seams.h"
#include "platform/gtk/controller_wiring.h"
#include "platform/gtk/share_popover.h"
#include "platform/gtk/web_page_view.h"

typedef struct _GtkApplication GtkApplication;
typedef struct _GtkWidget GtkWidget;
typedef struct _GMenu GMenu;

namespace nimbra {

// nimbra's one window: titled "nimbra", 730 × 657 by default, its content (the web view)
// never smaller than 640 × 540 (half of a 1366-pixel screen holds it), with a compact header
// bar whose menu offers About and Quit. Ctrl+Q quits, Ctrl+W closes the window. It owns the
// web view, the share popover and the controller; closing it destroys them, and with the
// last window the application quits, unless background mode is on: then closing hides it
// and everything keeps running. Becoming the active window records a "foreground"
// event. The menu, the About window and the share popover speak the page's language.
// Main thread only.
class MainWindow {
 public:
  static constexpr int kDefaultWidth = 730;
  static constexpr int kDefaultHeight = 657;
  static constexpr int kMinimumWidth = 640;
  static constexpr int kMinimumHeight = 540;

  MainWindow(GtkApplication* application, AppSeams& seams);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  void present();

 private:
  struct Handlers;
  void startupReport(const char* event);
  void watchDeliveryStats();
  void writeDeliveryStats() const;
  void installActions();
  void setEnglish(bool english);
  // Hands the page the desktop switches of Preferences (background_mode.h).
  void configureDesktop();

  AppSeams& seams_;
  GtkWidget* window_;
  std::shared_ptr<WebPageView> view_;
  std::unique_ptr<SharePopover> popover_;
  WindowController controller_;
  GMenu* menu_ = nullptr;
  bool english_ = false;
  bool rendered_ = false;
  std::string report_;                // what the start-up report file holds so far
  unsigned deliveryStatsSource_ = 0;  // the SIGUSR1 watch, when the stats file is asked for
};

}  // namespace nimbra
