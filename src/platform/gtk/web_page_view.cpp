#include "platform/gtk/web_page_view.h"

#include <cstring>
#include <memory>

#include <webkit/webkit.h>

#include "platform/gtk/page_scheme.h"

namespace nimbra {
namespace {

constexpr char kHandlerName[] = "nimbra";
constexpr char kRenderBody[] = "return window.renderNimbra(JSON.parse(stateJSON));";
constexpr char kReadinessProbe[] = "typeof window.renderNimbra === 'function'";

WebKitSettings* leanSettings() {
  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_hardware_acceleration_policy(settings,
                                                   WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  webkit_settings_set_enable_page_cache(settings, FALSE);
  webkit_settings_set_enable_webgl(settings, FALSE);
  webkit_settings_set_enable_webaudio(settings, FALSE);
  webkit_settings_set_enable_media(settings, FALSE);
  webkit_settings_set_enable_media_stream(settings, FALSE);
  webkit_settings_set_enable_mediasource(settings, FALSE);
  webkit_settings_set_enable_webrtc(settings, FALSE);
  webkit_settings_set_enable_html5_database(settings, FALSE);
  webkit_settings_set_enable_developer_extras(settings, FALSE);
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
  webkit_settings_set_enable_back_forward_navigation_gestures(settings, FALSE);
  return settings;
}

// A one-shot completion that outlives nothing: it carries its own copy of what it needs.
struct Completion {
  std::function<void(GObject*, GAsyncResult*)> run;

  static void finished(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Completion> completion(static_cast<Completion*>(data));
    completion->run(source, result);
  }
};

}  // namespace

struct WebPageView::Handlers {
  static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                               WebKitPolicyDecisionType type, gpointer data) {
    const auto& self = *static_cast<WebPageView*>(data);
    bool allow = false;
    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
      WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
          WEBKIT_NAVIGATION_POLICY_DECISION(decision));
      const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
      allow = isPage(self, uri);
    } else if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
      auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
      const char* uri =
          webkit_uri_request_get_uri(webkit_response_policy_decision_get_request(response));
      allow = webkit_response_policy_decision_is_main_frame_main_resource(response) &&
              isPage(self, uri);
    }
    // New-window actions and anything else are refused.
    if (allow) {
      webkit_policy_decision_use(decision);
    } else {
      webkit_policy_decision_ignore(decision);
    }
    return TRUE;
  }

  static void loadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    auto& self = *static_cast<WebPageView*>(data);
    if (event != WEBKIT_LOAD_FINISHED) return;
    if (!isPage(self, webkit_web_view_get_uri(view))) return;
    self.delivery_.pageLoaded();
    if (self.events_.finishedLoading) self.events_.finishedLoading();
  }

  static void messageReceived(WebKitUserContentManager*, JSCValue* value, gpointer data) {
    auto& self = *static_cast<WebPageView*>(data);
    if (!acceptsMessageAt(self.pageUri_, webkit_web_view_get_uri(self.view_))) return;
    char* json = jsc_value_to_json(value, 0);
    std::string body = json != nullptr ? json : "null";
    g_free(json);
    if (self.events_.message) self.events_.message(body);
  }

  static WebKitWebView* automationView(WebKitAutomationSession*, gpointer data) {
    return static_cast<WebPageView*>(data)->view_;
  }

  static void automationStarted(WebKitWebContext*, WebKitAutomationSession* session,
                                gpointer data) {
    auto& self = *static_cast<WebPageView*>(data);
    WebKitApplicationInfo* info = webkit_application_info_new();
    webkit_application_info_set_name(info, self.options_.applicationName.c_str());
    webkit_automation_session_set_application_info(session, info);
    webkit_application_info_unref(info);
    g_signal_connect(session, "create-web-view", G_CALLBACK(automationView), data);
  }

  // The page is the interface, not a document: no Back, Reload or Inspect menu.
  static gboolean contextMenu(WebKitWebView*, WebKitContextMenu*, gpointer) { return TRUE; }

  static void mappedChanged(GtkWidget*, gpointer data) {
    auto& self = *static_cast<WebPageView*>(data);
    self.watchSurface();
    self.updateVisibility();
  }

  static void surfaceChanged(GObject*, GParamSpec*, gpointer data) {
    static_cast<WebPageView*>(data)->updateVisibility();
  }

  static bool isPage(const WebPageView& self, const char* uri) {
    return !self.pageUri_.empty() && uri != nullptr && self.pageUri_ == uri;
  }
};

bool WebPageView::acceptsMessageAt(const std::string& pageUri, const char* currentUri) {
  return !pageUri.empty() && currentUri != nullptr && pageUri == currentUri;
}

WebPageView::WebPageView(Options options, Events events)
    : options_(std::move(options)),
      events_(std::move(events)),
      alive_(std::make_shared<bool>(true)) {
  if (options_.folder) pageUri_ = PageScheme::pageUri(options_.entry);

  WebKitWebContext* context = webkit_web_context_new();
  webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  if (options_.folder) PageScheme::registerOn(context, *options_.folder);

  WebKitNetworkSession* session = nullptr;
  if (options_.automation) {
    webkit_web_context_set_automation_allowed(context, TRUE);
    g_signal_connect(context, "automation-started", G_CALLBACK(Handlers::automationStarted), this);
    session = webkit_web_context_get_network_session_for_automation(context);
    if (session != nullptr) g_object_ref(session);
  }
  if (session == nullptr) session = webkit_network_session_new_ephemeral();

  WebKitUserContentManager* content = webkit_user_content_manager_new();
  // World NULL: the page's own world; a named world would hide the handler from the page.
  webkit_user_content_manager_register_script_message_handler(content, kHandlerName, nullptr);
  g_signal_connect(content, "script-message-received::nimbra",
                   G_CALLBACK(Handlers::messageReceived), this);

  WebKitSettings* settings = leanSettings();
  view_ =
      WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "network-session",
                                   session, "user-content-manager", content, "settings", settings,
                                   "is-controlled-by-automation", options_.automation, nullptr));
  g_object_ref_sink(view_);
  g_object_unref(settings);
  g_object_unref(content);
  g_object_unref(session);
  g_object_unref(context);

  g_signal_connect(view_, "decide-policy", G_CALLBACK(Handlers::decidePolicy), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(Handlers::loadChanged), this);
  g_signal_connect(view_, "context-menu", G_CALLBACK(Handlers::contextMenu), this);
  g_signal_connect(view_, "map", G_CALLBACK(Handlers::mappedChanged), this);
  g_signal_connect(view_, "unmap", G_CALLBACK(Handlers::mappedChanged), this);
  (void)delivery_.setVisible(false);  // not mapped yet
}

WebPageView::~WebPageView() {
  *alive_ = false;
  g_signal_handlers_disconnect_by_data(view_, this);
  WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(view_);
  g_signal_handlers_disconnect_by_data(content, this);
  g_signal_handlers_disconnect_by_data(webkit_web_view_get_context(view_), this);
  if (surface_ != nullptr) {
    g_signal_handlers_disconnect_by_data(surface_, this);
    g_object_unref(surface_);
  }
  g_object_unref(view_);
}

GtkWidget* WebPageView::widget() const { return GTK_WIDGET(view_); }

void WebPageView::load() {
  if (!pageUri_.empty()) webkit_web_view_load_uri(view_, pageUri_.c_str());
}

void WebPageView::evaluate(const std::string& script) {
  webkit_web_view_evaluate_javascript(view_, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
                                      nullptr);
}

void WebPageView::render(const std::string& stateJSON) {
  if (auto delivery = delivery_.push(stateJSON)) deliver(std::move(*delivery));
}

void WebPageView::deliver(StateDelivery::Delivery delivery) {
  if (auto presentation = PagePresentation::ofState(delivery.stateJSON);
      presentation && presentation != presentation_) {
    presentation_ = presentation;
    if (events_.presentation) events_.presentation(*presentation);
  }
  GVariantDict args;
  g_variant_dict_init(&args, nullptr);
  g_variant_dict_insert_value(&args, "stateJSON", g_variant_new_string(delivery.stateJSON.c_str()));
  // The dictionary's end is a floating reference that the call does not sink: owned here
  // and dropped after the call, which keeps its own reference while it needs one.
  GVariant* arguments = g_variant_ref_sink(g_variant_dict_end(&args));
  auto* completion = new Completion{};
  completion->run = [this, alive = alive_, id = delivery.id](GObject* source,
                                                             GAsyncResult* result) {
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source),
                                                                            result, &error);
    bool ok = value != nullptr;
    if (value != nullptr) g_object_unref(value);
    if (error != nullptr) g_error_free(error);
    if (!*alive) return;
    if (!ok) delivery_.failed(id);
    if (events_.rendered) events_.rendered(ok);
  };
  webkit_web_view_call_async_javascript_function(view_, kRenderBody, -1, arguments, nullptr,
                                                 nullptr, nullptr, Completion::finished,
                                                 completion);
  g_variant_unref(arguments);
}

// The toplevel's surface exists once the view is mapped, and its minimised state and
// mapping change without the view being unmapped, so it is watched as well.
void WebPageView::watchSurface() {
  GtkNative* native = gtk_widget_get_native(GTK_WIDGET(view_));
  GdkSurface* surface = native != nullptr ? gtk_native_get_surface(native) : nullptr;
  if (surface == surface_ || surface == nullptr) return;
  if (surface_ != nullptr) {
    g_signal_handlers_disconnect_by_data(surface_, this);
    g_object_unref(surface_);
  }
  surface_ = GDK_SURFACE(g_object_ref(surface));
  g_signal_connect(surface_, "notify::state", G_CALLBACK(Handlers::surfaceChanged), this);
  g_signal_connect(surface_, "notify::mapped", G_CALLBACK(Handlers::surfaceChanged), this);
}

void WebPageView::updateVisibility() {
  bool visible = gtk_widget_get_mapped(GTK_WIDGET(view_)) && surface_ != nullptr &&
                 gdk_surface_get_mapped(surface_);
  if (visible && GDK_IS_TOPLEVEL(surface_)) {
    visible = (gdk_toplevel_get_state(GDK_TOPLEVEL(surface_)) & GDK_TOPLEVEL_STATE_MINIMIZED) == 0;
  }
  if (visible == delivery_.visible()) return;
  if (auto delivery = delivery_.setVisible(visible)) deliver(std::move(*delivery));
}

void WebPageView::probeReadiness(std::function<void(bool)> answer) {
  auto* completion = new Completion{};
  completion->run = [answer = std::move(answer)](GObject* source, GAsyncResult* result) {
    JSCValue* value =
        webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
    bool ready = value != nullptr && jsc_value_is_boolean(value) && jsc_value_to_boolean(value);
    if (value != nullptr) g_object_unref(value);
    answer(ready);
  };
  webkit_web_view_evaluate_javascript(view_, kReadinessProbe, -1, nullptr, nullptr, nullptr,
                                      Completion::finished, completion);
}

PageView::Size WebPageView::size() const {
  return Size{static_cast<double>(gtk_widget_get_width(GTK_WIDGET(view_))),
              static_cast<double>(gtk_widget_get_height(GTK_WIDGET(view_)))};
}

void WebPageView::showSharePicker(double x, double y) {
  if (events_.sharePicker) events_.sharePicker(x, y);
}

}  // namespace nimbra
