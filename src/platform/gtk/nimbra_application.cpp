#include "platform/gtk/nimbra_application.h"

#include <gtk/gtk.h>

#include "app/resource_location.h"
#include "core/file_system.h"

namespace nimbra {

struct NimbraApplication::Handlers {
  // "Did finish launching".
  static void startup(GApplication*, gpointer data) {
    auto& self = *static_cast<NimbraApplication*>(data);
    self.seams_ = AppSeams::assemble(self.options_, G_APPLICATION(self.application_));
    self.seams_->startAutomaticChecks();
    // Telemetry's first records are disk writes (flushed); run them from the main loop, after
    // "activate" has made the window, so they overlap the page's load instead of delaying it.
    self.seams_->queue.post(
        [&telemetry = self.seams_->telemetry(),
         language = AppSeams::effectiveLanguage(self.seams_->presentation.language)] {
          telemetry.start(language);
        });
    useIcon();
  }

  // The first activation of a "--hidden" start makes the window without showing it; every
  // other (a second start, the notification's click) shows it.
  static void activate(GApplication* application, gpointer data) {
    auto& self = *static_cast<NimbraApplication*>(data);
    bool first = !self.window_;
    if (first) {
      self.window_ = std::make_unique<MainWindow>(GTK_APPLICATION(application), *self.seams_);
    }
    if (first && self.options_.hidden) return;
    self.window_->present();
  }

  // "app.show-window", the notification's default action.
  static void showWindow(GSimpleAction*, GVariant*, gpointer data) {
    auto& self = *static_cast<NimbraApplication*>(data);
    g_application_activate(G_APPLICATION(self.application_));
  }

  static void shutdown(GApplication*, gpointer data) {
    static_cast<NimbraApplication*>(data)->window_.reset();
  }

  // GTK 4 takes window icons from the icon theme only: the theme folders next to the
  // program (the build tree's, a bundle's) join the search path; installed, the icon is in
  // the system's hicolor theme already.
  static void useIcon() {
    GdkDisplay* display = gdk_display_get_default();
    if (display == nullptr) return;
    GtkIconTheme* theme = gtk_icon_theme_get_for_display(display);
    for (const auto& folder : ResourceLocation::iconFolders(runningExecutable())) {
      gtk_icon_theme_add_search_path(theme, folder.c_str());
    }
    gtk_window_set_default_icon_name(kIconName);
  }
};

NimbraApplication::NimbraApplication(LaunchOptions options)
    : options_(std::move(options)),
      application_(gtk_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS)) {
  g_signal_connect(application_, "startup", G_CALLBACK(Handlers::startup), this);
  g_signal_connect(application_, "activate", G_CALLBACK(Handlers::activate), this);
  g_signal_connect(application_, "shutdown", G_CALLBACK(Handlers::shutdown), this);
  const GActionEntry actions[] = {
      {"show-window", Handlers::showWindow, nullptr, nullptr, nullptr, {}}};
  g_action_map_add_action_entries(G_ACTION_MAP(application_), actions, G_N_ELEMENTS(actions), this);
}

NimbraApplication::~NimbraApplication() {
  window_.reset();
  g_object_unref(application_);
}

int NimbraApplication::run(const char* argv0) {
  char* argv[] = {const_cast<char*>(argv0), nullptr};
  return g_application_run(G_APPLICATION(application_), 1, argv);
}

}  // namespace nimbra
