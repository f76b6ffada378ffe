#include "platform/gtk/main_window.h"

#include <cstdlib>
#include <ctime>
#include <string>

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>

#include "app/resource_location.h"
#include "core/file_system.h"
#include "nimbra/build_config.h"
#include "platform/gtk/about_window.h"

namespace nimbra {
namespace {

constexpr char kTitle[] = "nimbra";
// Set by the window tests and the start-up measurement: the file receives the wall-clock
// time (nanoseconds since 1970) of the page's load and of its first completed render.
constexpr char kStartupReportVariable[] = "NIMBRA_STARTUP_REPORT";
// Set by the resident-cost measurement (bench/resident_cost): on each SIGUSR1 the file
// receives the counts of pushed, changed and delivered states so far, one "name value" line
// each. Without it the program leaves SIGUSR1 alone.
constexpr char kDeliveryStatsVariable[] = "NIMBRA_DELIVERY_STATS";

WebPageView::Options viewOptions(const AppSeams& seams) {
  WebPageView::Options options;
  options.folder = ResourceLocation::pageFolder(runningExecutable());
  options.automation = seams.options.automation;
  options.applicationVersion = NIMBRA_VERSION;
  return options;
}

GtkWidget* compactHeaderBar(GMenu* menu) {
  GtkWidget* header = gtk_header_bar_new();
  GtkWidget* title = gtk_label_new(kTitle);
  gtk_widget_add_css_class(title, "title");
  gtk_header_bar_set_title_widget(GTK_HEADER_BAR(header), title);
  gtk_widget_add_css_class(header, "flat");
  GtkWidget* button = gtk_menu_button_new();
  gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(button), "open-menu-symbolic");
  gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(button), G_MENU_MODEL(menu));
  gtk_header_bar_pack_end(GTK_HEADER_BAR(header), button);
  return header;
}

// The window's menu in one language: its items name the window's actions.
void fillMenu(GMenu* menu, bool english) {
  g_menu_remove_all(menu);
  g_menu_append(menu, english ? "About nimbra" : "关于 nimbra", "win.about");
  g_menu_append(menu, english ? "Quit" : "退出", "win.quit");
}

// The title bar and every other GTK widget follow the page's light or dark choice; "system"
// gives the choice back to the desktop's setting.
void applyTheme(PagePresentation::Theme theme) {
  GtkSettings* settings = gtk_settings_get_default();
  if (settings == nullptr) return;
  if (theme == PagePresentation::Theme::system) {
    gtk_settings_reset_property(settings, "gtk-application-prefer-dark-theme");
  } else {
    g_object_set(settings, "gtk-application-prefer-dark-theme",
                 theme == PagePresentation::Theme::dark, nullptr);
  }
}

}  // namespace

struct MainWindow::Handlers {
  static void about(GSimpleAction*, GVariant*, gpointer data) {
    auto& self = *static_cast<MainWindow*>(data);
    AboutFacts facts{NIMBRA_VERSION, NIMBRA_BUILD, self.seams_.storage.applicationSupport()};
    showAboutWindow(GTK_WINDOW(self.window_), facts, self.english_);
  }

  static void quit(GSimpleAction*, GVariant*, gpointer data) {
    auto& self = *static_cast<MainWindow*>(data);
    GtkApplication* application = gtk_window_get_application(GTK_WINDOW(self.window_));
    if (application != nullptr) g_application_quit(G_APPLICATION(application));
  }

  static void activeChanged(GObject* window, GParamSpec*, gpointer data) {
    auto& self = *static_cast<MainWindow*>(data);
    bool active = gtk_window_is_active(GTK_WINDOW(window));
    self.seams_.windowActive = active;
    if (!active) return;
    Telemetry& telemetry = self.seams_.telemetry();
    telemetry.setLanguage(AppSeams::effectiveLanguage(self.seams_.presentation.language));
    telemetry.record("foreground", std::nullopt, std::nullopt, self.seams_.clock.now());
  }

  // With background mode the window is hidden instead of closed: the application, the
  // controller and the page stay, and the page receives nothing until it shows again.
  static gboolean closeRequested(GtkWindow* window, gpointer data) {
    auto& self = *static_cast<MainWindow*>(data);
    if (!self.seams_.background().closeHides()) return FALSE;
    gtk_widget_set_visible(GTK_WIDGET(window), FALSE);
    return TRUE;
  }

  static gboolean deliveryStatsAsked(gpointer data) {
    static_cast<const MainWindow*>(data)->writeDeliveryStats();
    return G_SOURCE_CONTINUE;
  }
};

MainWindow::MainWindow(GtkApplication* application, AppSeams& seams)
    : seams_(seams), window_(gtk_application_window_new(application)) {
  // Kept referenced: the application destroys this object at shutdown, after GTK has
  // destroyed the closed window.
  g_object_ref(window_);
  gtk_window_set_title(GTK_WINDOW(window_), kTitle);
  gtk_window_set_default_size(GTK_WINDOW(window_), kDefaultWidth, kDefaultHeight);
  menu_ = g_menu_new();
  fillMenu(menu_, english_);
  gtk_window_set_titlebar(GTK_WINDOW(window_), compactHeaderBar(menu_));
  installActions();

  WebPageView::Events events;
  events.finishedLoading = [this] {
    startupReport("page-loaded");
    configureDesktop();
    if (controller_.pageFinishedLoading) controller_.pageFinishedLoading();
  };
  events.message = [this](const std::string& body) {
    // The desktop switches belong to the composition root, every other action to the page's
    // controller.
    if (seams_.background().receive(body)) {
      configureDesktop();
      return;
    }
    if (controller_.pageMessage) controller_.pageMessage(body);
  };
  events.sharePicker = [this](double x, double y) { popover_->show(x, y); };
  events.rendered = [this](bool ok) {
    if (rendered_ || !ok) return;
    rendered_ = true;
    startupReport("first-render");
  };
  events.presentation = [this](const PagePresentation& presentation) {
    setEnglish(presentation.english);
    applyTheme(presentation.theme);
  };
  view_ = std::make_shared<WebPageView>(viewOptions(seams), std::move(events));
  gtk_widget_set_size_request(view_->widget(), kMinimumWidth, kMinimumHeight);
  gtk_window_set_child(GTK_WINDOW(window_), view_->widget());
  popover_ = std::make_unique<SharePopover>(view_->widget(), seams.sharing);

  g_signal_connect(window_, "notify::is-active", G_CALLBACK(Handlers::activeChanged), this);
  g_signal_connect(window_, "close-request", G_CALLBACK(Handlers::closeRequested), this);
  startupReport("window-created");
  // The load first: the web process starts while the controller opens its stores. Its
  // completion arrives through the main loop, after the controller exists.
  view_->load();
  controller_ = makeWindowController(seams, view_);
  startupReport("controller-created");
  watchDeliveryStats();
  // The page asks for both QR pictures as soon as it has loaded; drawing them (and pango's
  // first font lookup) meanwhile keeps that off the path to the first render.
  seams.queue.post([&sharing = seams.sharing] {
    (void)sharing.qrPNG(false);
    (void)sharing.qrPNG(true);
  });
}

MainWindow::~MainWindow() {
  if (deliveryStatsSource_ != 0) g_source_remove(deliveryStatsSource_);
  g_signal_handlers_disconnect_by_data(window_, this);
  g_action_map_remove_action(G_ACTION_MAP(window_), "about");
  g_action_map_remove_action(G_ACTION_MAP(window_), "quit");
  // The controller first: it holds the view only weakly, the view's events refer to it.
  controller_ = WindowController{};
  popover_.reset();
  view_.reset();
  g_object_unref(window_);
  g_object_unref(menu_);
}

// "win.about", "win.quit" (Ctrl+Q) and GTK's own "window.close" (Ctrl+W). The accelerators
// belong to the application, which handles them before the web view sees the keys.
void MainWindow::installActions() {
  const GActionEntry entries[] = {
      {"about", Handlers::about, nullptr, nullptr, nullptr, {}},
      {"quit", Handlers::quit, nullptr, nullptr, nullptr, {}},
  };
  g_action_map_add_action_entries(G_ACTION_MAP(window_), entries, G_N_ELEMENTS(entries), this);
  GtkApplication* application = gtk_window_get_application(GTK_WINDOW(window_));
  const char* quit[] = {"<Control>q", nullptr};
  const char* close[] = {"<Control>w", nullptr};
  gtk_application_set_accels_for_action(application, "win.quit", quit);
  gtk_application_set_accels_for_action(application, "window.close", close);
}

void MainWindow::setEnglish(bool english) {
  popover_->setEnglish(english);
  if (english == english_) return;
  english_ = english;
  fillMenu(menu_, english);
}

void MainWindow::present() { gtk_window_present(GTK_WINDOW(window_)); }

void MainWindow::configureDesktop() {
  view_->evaluate("window.configureDesktop && window.configureDesktop(" +
                  seams_.background().pageJSON() + ")");
}

void MainWindow::watchDeliveryStats() {
  const char* file = std::getenv(kDeliveryStatsVariable);
  if (file == nullptr || *file == '\0') return;
  deliveryStatsSource_ = g_unix_signal_add(SIGUSR1, Handlers::deliveryStatsAsked, this);
}

void MainWindow::writeDeliveryStats() const {
  const char* file = std::getenv(kDeliveryStatsVariable);
  if (file == nullptr || *file == '\0') return;
  const StateDelivery::Counts& counts = view_->deliveryCounts();
  std::string text = "pushed " + std::to_string(counts.pushed) + "\nchanged " +
                     std::to_string(counts.changed) + "\ndelivered " +
                     std::to_string(counts.delivered) + "\n";
  (void)writeFileAtomically(file,
                            std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void MainWindow::startupReport(const char* event) {
  const char* file = std::getenv(kStartupReportVariable);
  if (file == nullptr || *file == '\0') return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  report_ += std::string(event) + " " +
             std::to_string(static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec) + "\n";
  // Written once, at the first render, so the report's own flushed writes stay off the path
  // they measure.
  if (!rendered_) return;
  (void)writeFileAtomically(
      file, std::span(reinterpret_cast<const uint8_t*>(report_.data()), report_.size()));
}

}  // namespace nimbra
