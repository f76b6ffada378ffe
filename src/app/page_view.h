#pragma once

#include <functional>
#include <string>

namespace nimbra {

// What the controller needs of the window's web view. The WebKit view in platform/
// implements it; tests use a recording fake. Main thread only.
//
// The view outlives no one: the controller holds it weakly (it may be gone at any call site
// that asks through a weak reference), and the view forwards page messages to the controller
// through a MessageBridge that holds the controller weakly.
class PageView {
 public:
  struct Size {
    double width = 0;
    double height = 0;
  };

  virtual ~PageView() = default;

  // Evaluates a script in the page's own world; no completion, errors ignored.
  virtual void evaluate(const std::string& script) = 0;
  // Calls "window.renderNimbra" with the screen state, given as one JSON text that the page
  // parses itself: "return window.renderNimbra(JSON.parse(stateJSON));".
  virtual void render(const std::string& stateJSON) = 0;
  // Evaluates "typeof window.renderNimbra === 'function'"; `answer` gets true only when the
  // script's result is the Boolean true (false on any error). Called on the main thread.
  virtual void probeReadiness(std::function<void(bool)> answer) = 0;
  // The view's size in its own coordinates (origin top left, y growing downwards).
  virtual Size size() const = 0;
  // Shows the share picker anchored at a 1 × 1 rectangle at (x, y) in view coordinates,
  // preferring the rectangle's lower edge. Replaces a picker already shown.
  virtual void showSharePicker(double x, double y) = 0;
};

}  // namespace nimbra
