// The floor of the resident-cost measurement (bench/resident_cost): what any GTK 4 window
// showing a WebKitGTK 6.0 page costs while it sits open. One window of nimbra's default size,
// a view with the same lean settings as nimbra's (its own context and ephemeral session, no
// hardware acceleration, the document-viewer cache model, no media, WebGL or WebAudio), and a
// static page that never changes: no timer, no script, nothing pushed. What nimbra costs
// above this is nimbra's own.
//
// `--update-seconds N` makes it the moving floor: every N seconds one short text of the page
// changes, delivered the way nimbra delivers a state (an asynchronous page function called
// with an argument). That is the least any window showing a live reading pays per update.
//
// Not unique (several may run); it runs until it is killed.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtk/gtk.h>
#include <webkit/webkit.h>

namespace {

constexpr int kWidth = 730;  // nimbra's default window size
constexpr int kHeight = 657;

constexpr char kPage[] =
    "<!doctype html><html lang=en><head><meta charset=utf-8><title>floor</title>"
    "<style>body{font:15px system-ui,sans-serif;margin:24px}</style></head>"
    "<body><h1>floor</h1><p>A static page: a GTK 4 window with a WebKitGTK 6.0 view and "
    "nothing else.</p><p>Reading <span id=reading>0</span></p></body></html>";

constexpr char kUpdateBody[] = "document.getElementById('reading').firstChild.data = text;";

struct Floor {
  unsigned updateSeconds = 0;  // 0: the static floor
  unsigned updates = 0;
  WebKitWebView* view = nullptr;
};

WebKitWebView* leanView() {
  WebKitWebContext* context = webkit_web_context_new();
  webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  WebKitNetworkSession* session = webkit_network_session_new_ephemeral();
  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_hardware_acceleration_policy(settings,
                                                   WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  webkit_settings_set_enable_page_cache(settings, FALSE);
  webkit_settings_set_enable_webgl(settings, FALSE);
  webkit_settings_set_enable_webaudio(settings, FALSE);
  webkit_settings_set_enable_media(settings, FALSE);
  webkit_settings_set_enable_developer_extras(settings, FALSE);
  auto* view =
      WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "network-session",
                                   session, "settings", settings, nullptr));
  g_object_unref(settings);
  g_object_unref(session);
  g_object_unref(context);
  return view;
}

gboolean update(gpointer data) {
  auto* floor = static_cast<Floor*>(data);
  std::string text = std::to_string(++floor->updates);
  GVariantDict arguments;
  g_variant_dict_init(&arguments, nullptr);
  g_variant_dict_insert_value(&arguments, "text", g_variant_new_string(text.c_str()));
  webkit_web_view_call_async_javascript_function(floor->view, kUpdateBody, -1,
                                                 g_variant_dict_end(&arguments), nullptr, nullptr,
                                                 nullptr, nullptr, nullptr);
  return G_SOURCE_CONTINUE;
}

void activate(GtkApplication* application, gpointer data) {
  auto* floor = static_cast<Floor*>(data);
  GtkWidget* window = gtk_application_window_new(application);
  gtk_window_set_title(GTK_WINDOW(window), "nimbra-floor");
  gtk_window_set_default_size(GTK_WINDOW(window), kWidth, kHeight);
  WebKitWebView* view = leanView();
  webkit_web_view_load_html(view, kPage, nullptr);
  gtk_window_set_child(GTK_WINDOW(window), GTK_WIDGET(view));
  gtk_window_present(GTK_WINDOW(window));
  if (floor->updateSeconds > 0) {
    floor->view = view;
    g_timeout_add_seconds(floor->updateSeconds, update, floor);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Floor floor;
  if (argc == 3 && std::strcmp(argv[1], "--update-seconds") == 0) {
    floor.updateSeconds = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    argc = 1;
  }
  GtkApplication* application =
      gtk_application_new("com.zuvo.devicecenter.floor", G_APPLICATION_NON_UNIQUE);
  g_signal_connect(application, "activate", G_CALLBACK(activate), &floor);
  int status = g_application_run(G_APPLICATION(application), argc, argv);
  g_object_unref(application);
  return status;
}
