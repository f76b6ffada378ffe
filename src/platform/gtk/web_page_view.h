#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "app/page_view.h"
#include "platform/gtk/page_presentation.h"
#include "platform/gtk/state_delivery.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _GdkSurface GdkSurface;

namespace nimbra {

// The window's web view on WebKitGTK 6.0, implementing PageView for the controller.
//
// Built lean and closed: its own web context with the page scheme (page_scheme.h), an
// ephemeral network session (nothing kept on disk), the script message handler "nimbra" in
// the page's own world, no hardware acceleration, the document-viewer cache model, no
// WebGL, media, WebAudio or developer tools.
//
// Policy: a navigation is allowed only to the page URI; a response only when it is the main
// frame's main resource at the page URI (navigation decisions cannot tell sub-frames apart,
// responses can); every new-window request is refused. So no other document, and no frame,
// ever loads. A message is further accepted only while the view's URI is the page URI
// (history.pushState or a fragment change moves it without a navigation). The page is the
// interface, so it shows no context menu (Back, Reload, Inspect).
//
// Delivery (state_delivery.h): a pushed state reaches the page only when it differs from the
// last one delivered to the current document, and only while the window shows: the view
// mapped, its toplevel surface mapped and not minimised. The latest state waits meanwhile.
//
// Main thread only. The widget is created here and kept referenced until destruction; the
// window packs it. Events are delivered on the main thread and never after destruction.
class WebPageView final : public PageView {
 public:
  struct Events {
    // After each completed load of the page URI.
    std::function<void()> finishedLoading;
    // The body of an accepted message as JSON text ("null" for undefined).
    std::function<void(const std::string& bodyJSON)> message;
    // The controller's share-system request, in view coordinates.
    std::function<void(double x, double y)> sharePicker;
    // Each render's outcome: true when renderNimbra ran and its promise resolved. Optional.
    std::function<void(bool ok)> rendered;
    // The language or light/dark choice of the states delivered to the page changed (and
    // once for the first). Optional.
    std::function<void(const PagePresentation&)> presentation;
  };

  struct Options {
    // The folder holding the page; none leaves the view empty (no page installed).
    std::optional<std::filesystem::path> folder;
    std::string entry = "index.html";
    // Lets WebKitWebDriver drive this view ("--automation", for end-to-end tests only).
    bool automation = false;
    std::string applicationName = "nimbra";
    std::string applicationVersion;
  };

  WebPageView(Options options, Events events);
  ~WebPageView() override;
  WebPageView(const WebPageView&) = delete;
  WebPageView& operator=(const WebPageView&) = delete;

  GtkWidget* widget() const;
  // "nimbra://app/" + the entry, or empty when there is no page.
  const std::string& pageUri() const { return pageUri_; }
  // Starts loading the page (no-op without one). Separate from construction so the caller
  // can wire the controller first.
  void load();

  // Pushes and deliveries so far (state_delivery.h).
  const StateDelivery::Counts& deliveryCounts() const { return delivery_.counts(); }

  // Whether a message arriving while the view shows `currentUri` is accepted.
  static bool acceptsMessageAt(const std::string& pageUri, const char* currentUri);

  // PageView
  void evaluate(const std::string& script) override;
  void render(const std::string& stateJSON) override;
  void probeReadiness(std::function<void(bool)> answer) override;
  Size size() const override;
  void showSharePicker(double x, double y) override;

 private:
  struct Handlers;
  friend struct Handlers;

  void deliver(StateDelivery::Delivery delivery);
  void watchSurface();
  void updateVisibility();

  Options options_;
  Events events_;
  std::string pageUri_;
  WebKitWebView* view_ = nullptr;
  GdkSurface* surface_ = nullptr;  // the toplevel's surface, referenced while watched
  StateDelivery delivery_;
  std::optional<PagePresentation> presentation_;  // of the last state delivered
  // Shared with in-flight script callbacks, which must not touch a destroyed view.
  std::shared_ptr<bool> alive_;
};

}  // namespace nimbra
